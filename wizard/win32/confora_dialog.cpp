// The settings dialog on Windows: the dialog resource of confora.rc run
// modally over the same core as the unattended mode. One dialog at a time:
// after Retry or the empty-input message a new one takes its place.
#include <windows.h>
#include <commctrl.h>

#include <optional>
#include <string>

#include "common/log.h"
#include "platform/text.h"
#include "wizard/command_line.h"
#include "wizard/dialog_layout.h"
#include "wizard/win32/resource.h"

namespace {

struct DialogData {
    const ConforaEnvironment* env = nullptr;
    // Radio state as the untouched dialog has it.
    std::string database = "postgres";
    std::string protocol = "http";
    bool aws = false;
    std::optional<OkOutcome> outcome;  // none when the dialog was closed without OK
};

std::wstring wide(const std::string& utf8) {
    const std::u16string units = platform::utf8ToUtf16(utf8);
    return std::wstring(units.begin(), units.end());
}

// The edit control's text, at most limit characters, as UTF-8.
std::string fieldText(HWND dialog, int id, std::size_t limit) {
    std::wstring buffer(limit + 1, L'\0');
    const int length = GetDlgItemTextW(dialog, id, buffer.data(), static_cast<int>(buffer.size()));
    buffer.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return platform::utf16ToUtf8(std::u16string(buffer.begin(), buffer.end()));
}

MismatchChoice askAfterResolveFailure(HWND dialog) {
    ShowWindow(dialog, SW_HIDE);
    const int answer = MessageBoxW(nullptr, wide(kResolveFailureMessage).c_str(), wide(kErrorCaption).c_str(),
                                   MB_ABORTRETRYIGNORE | MB_ICONWARNING);
    if (answer == IDRETRY) return MismatchChoice::Retry;
    if (answer == IDIGNORE) return MismatchChoice::Ignore;
    return MismatchChoice::Abort;
}

void onInit(HWND dialog) {
    LogDialogInitStart();
    // The About item of the system menu has no action of its own.
    if (HMENU menu = GetSystemMenu(dialog, FALSE)) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, L"&About Confora...");
    }
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
    SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    SendDlgItemMessageW(dialog, IDC_SERVER_NAME, EM_LIMITTEXT, kServerNameLimit, 0);
    SendDlgItemMessageW(dialog, IDC_SERVER_IP, EM_LIMITTEXT, kServerIpLimit, 0);
    SendDlgItemMessageW(dialog, IDC_SERVER_PORT, EM_LIMITTEXT, kServerPortLimit, 0);
    LogDialogInitEnd();
}

void onOk(HWND dialog, DialogData& data) {
    WizardInput input;
    input.serverName = fieldText(dialog, IDC_SERVER_NAME, kServerNameLimit);
    input.serverIp = fieldText(dialog, IDC_SERVER_IP, kServerIpLimit);
    input.serverPort = fieldText(dialog, IDC_SERVER_PORT, kServerPortLimit);
    input.database = data.database;
    input.protocol = data.protocol;
    input.aws = data.aws;
    data.outcome = PressOk(input, *data.env, [dialog] { return askAfterResolveFailure(dialog); });
    EndDialog(dialog, IDOK);
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* data = reinterpret_cast<DialogData*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            onInit(dialog);
            return TRUE;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) return TRUE;
            return FALSE;
        case WM_COMMAND: {
            if (!data) return FALSE;
            const int id = LOWORD(wParam);
            if (HIWORD(wParam) != BN_CLICKED) return FALSE;
            switch (id) {
                case IDC_POSTGRES: data->database = "postgres"; return TRUE;
                case IDC_MYSQL: data->database = "mysql"; return TRUE;
                case IDC_MSSQL: data->database = "mssql"; return TRUE;
                case IDC_HTTP: data->protocol = "http"; return TRUE;
                case IDC_HTTPS: data->protocol = "https"; return TRUE;
                case IDC_AWS_NO: data->aws = false; return TRUE;
                case IDC_AWS_YES: data->aws = true; return TRUE;
                case IDC_OK:
                case IDOK:  // Enter presses the default button
                    onOk(dialog, *data);
                    return TRUE;
                case IDCANCEL:  // Escape or the close box
                    EndDialog(dialog, IDCANCEL);
                    return TRUE;
                default:
                    return FALSE;
            }
        }
        default:
            return FALSE;
    }
}

int runDialogs(const ConforaEnvironment& env) {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    if (!env.registryProblem.empty()) {
        // Before any dialog, and without a log: its folder is unknown.
        const std::string text = " Unable to read the settings: " + env.registryProblem + ". ";
        MessageBoxW(nullptr, wide(text).c_str(), wide(kErrorCaption).c_str(), MB_OK | MB_ICONERROR);
        return kExitRegistryUnreadable;
    }
    OpenConforaLog(env.installDir);
    int exitCode = kExitSuccess;
    for (;;) {
        DialogData data;
        data.env = &env;
        const INT_PTR shown = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CONFORA_DIALOG), nullptr,
                                              dialogProc, reinterpret_cast<LPARAM>(&data));
        if (shown == -1) {
            LogEssential("\n Unable to create the settings dialog : %lu ", GetLastError());
            break;
        }
        if (!data.outcome) {  // closed with Escape or the close box
            exitCode = kExitCancelled;
            break;
        }
        if (data.outcome->result == OkResult::EmptyInput) {
            MessageBoxW(nullptr, wide(kEmptyInputMessage).c_str(), wide(kErrorCaption).c_str(), MB_OK | MB_ICONERROR);
            continue;
        }
        if (data.outcome->result == OkResult::Retry) continue;
        // Values that did not reach the registry are not left to the log
        // alone: the administrator is told, and the exit code says it too.
        if (const std::string failed = WriteFailureText(*data.outcome); !failed.empty()) {
            const std::string text = " Unable to save the settings: " + failed + ". ";
            MessageBoxW(nullptr, wide(text).c_str(), wide(kErrorCaption).c_str(), MB_OK | MB_ICONERROR);
            exitCode = kExitRegistryWrite;
        }
        // Aborted ends the program as a finished dialog does: the installer
        // learns of it from Installfail.txt.
        break;
    }
    CloseConforaLog();
    return exitCode;
}

}  // namespace

DialogRunner ConforaDialog() { return runDialogs; }
