// The settings dialog on X11 with FLTK, laid out from the shared control
// table, over the same core as the unattended mode. One dialog at a time:
// after Retry or the empty-input message a new one takes its place.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Round_Button.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "common/log.h"
#include "common/text_format.h"
#include "wizard/command_line.h"
#include "wizard/dialog_layout.h"

namespace {

// An 8-point dialog font at 96 dpi. Liberation Sans has the widths of the
// usual Windows dialog fonts, so the texts fit the controls they were sized
// for; fontconfig picks a near face when it is not installed.
constexpr int kFontSize = 11;
// Left edge of the edit fields and radio buttons, in dialog units.
constexpr int kFieldColumn = 120;

void useDialogFont() {
    Fl::set_font(FL_HELVETICA, " Liberation Sans");
    Fl::set_font(FL_HELVETICA_BOLD, "BLiberation Sans");
}

// A Windows-style group box: an engraved frame whose top line runs through
// the middle of the caption.
class GroupBox : public Fl_Box {
public:
    GroupBox(int x, int y, int w, int h, const char* label) : Fl_Box(x, y, w, h, label) {
        box(FL_NO_BOX);
        align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE);
    }
    void draw() override {
        const int half = labelsize() / 2 + 1;
        fl_draw_box(FL_ENGRAVED_FRAME, x(), y() + half, w(), h() - half, color());
        fl_font(labelfont(), labelsize());
        int textW = 0, textH = 0;
        fl_measure(label(), textW, textH, 0);
        fl_color(parent() ? parent()->color() : color());
        fl_rectf(x() + 6, y(), textW + 4, textH);
        fl_color(labelcolor());
        fl_draw(label(), x() + 8, y(), textW, textH, FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
    }
};

bool isArrowKey(int key) { return key == FL_Left || key == FL_Right || key == FL_Up || key == FL_Down; }

// A push button that Enter presses while it has the focus, as on Windows
// (FLTK's own buttons answer only Space).
class DialogButton : public Fl_Button {
public:
    using Fl_Button::Fl_Button;
    int handle(int event) override {
        if (event == FL_KEYBOARD && Fl::focus() == this &&
            (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter)) {
            do_callback();
            return 1;
        }
        return Fl_Button::handle(event);
    }
};

// The radio buttons of one group, keyed as a Windows dialog keys them: the
// group is one tab stop, which lands on its checked button (the first when
// none is), and the arrow keys move to the next or previous button, round
// the group, and choose it.
class RadioGroup : public Fl_Group {
public:
    using Fl_Group::Fl_Group;
    int handle(int event) override {
        if (event == FL_FOCUS && children() > 0) {
            Fl_Widget* target = child(0);
            for (int i = 0; i < children(); ++i)
                if (static_cast<Fl_Button*>(child(i))->value()) target = child(i);
            if (target->take_focus()) return 1;
        }
        if (event == FL_KEYBOARD) {
            const int key = Fl::event_key();
            // Tab leaves the group: the window moves on to the next stop.
            if (key == FL_Tab) return 0;
            if (isArrowKey(key)) {
                choose(key == FL_Right || key == FL_Down ? 1 : -1);
                return 1;
            }
        }
        return Fl_Group::handle(event);
    }

private:
    void choose(int step) {
        const int count = children();
        int current = 0;
        while (current < count && !child(current)->contains(Fl::focus())) ++current;
        if (current == count) return;
        auto* next = static_cast<Fl_Button*>(child((current + step + count) % count));
        next->setonly();
        next->take_focus();
        next->do_callback();
    }
};

// The settings window: arrow keys that no control used stay where they are,
// as in a Windows dialog, instead of moving the focus across the dialog.
class DialogWindow : public Fl_Double_Window {
public:
    using Fl_Double_Window::Fl_Double_Window;
    int handle(int event) override {
        if (event == FL_KEYBOARD && isArrowKey(Fl::event_key())) return 1;
        return Fl_Double_Window::handle(event);
    }
};

struct SettingsDialog;

// What a control's callback needs to know.
struct Binding {
    SettingsDialog* dialog;
    int id;
};

struct SettingsDialog {
    const ConforaEnvironment* env = nullptr;
    std::unique_ptr<DialogWindow> window;
    Fl_Input* name = nullptr;
    Fl_Input* ip = nullptr;
    Fl_Input* port = nullptr;
    std::vector<std::pair<Fl_Widget*, const DialogControl*>> placed;
    std::vector<Binding> bindings;
    // Radio state as the untouched dialog has it.
    std::string database = "postgres";
    std::string protocol = "http";
    bool aws = false;
    std::optional<OkOutcome> outcome;  // none when the window was closed without OK
};

// A modal message window in the manner of the Windows message box: caption,
// icon, text and a row of buttons whose first letters are their shortcuts.
// Answers the index of the button pressed.
int messageBox(const char* caption, const char* text, bool error, const std::vector<const char*>& buttons,
               bool closable) {
    const int width = 440;
    const int textX = 68, textW = width - textX - 16;
    fl_font(FL_HELVETICA, kFontSize);
    int measuredW = textW, measuredH = 0;
    fl_measure(text, measuredW, measuredH, 0);
    const int textH = std::max(measuredH, 40);
    const int buttonW = 75, buttonH = 23, gap = 8;
    const int height = 16 + textH + 20 + buttonH + 12;

    Fl_Double_Window box(width, height, caption);
    box.set_modal();
    Fl_Box icon(16, 16, 36, 36, error ? "X" : "!");
    icon.box(FL_OVAL_BOX);
    icon.color(error ? fl_rgb_color(200, 30, 30) : fl_rgb_color(240, 190, 20));
    icon.labelcolor(error ? FL_WHITE : FL_BLACK);
    icon.labelfont(FL_HELVETICA_BOLD);
    icon.labelsize(20);
    Fl_Box message(textX, 16, textW, textH, text);
    message.align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
    message.labelsize(kFontSize);

    // Each button's callback data: where to put the answer, and its index.
    struct Choice {
        int* pressed;
        int index;
    };
    int pressed = -1;
    std::vector<Choice> choices;
    for (std::size_t i = 0; i < buttons.size(); ++i) choices.push_back({&pressed, static_cast<int>(i)});
    const int rowW = static_cast<int>(buttons.size()) * (buttonW + gap) - gap;
    std::vector<std::unique_ptr<DialogButton>> row;
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        const int x = (width - rowW) / 2 + static_cast<int>(i) * (buttonW + gap);
        auto button = std::make_unique<DialogButton>(x, height - buttonH - 12, buttonW, buttonH, buttons[i]);
        button->labelsize(kFontSize);
        button->callback(
            [](Fl_Widget* w, void* data) {
                const Choice& choice = *static_cast<Choice*>(data);
                *choice.pressed = choice.index;
                w->window()->hide();
            },
            &choices[i]);
        row.push_back(std::move(button));
    }
    if (buttons.size() == 1) row.front()->shortcut(FL_Enter);
    box.end();
    // Abort/Retry/Ignore has no way out but its buttons.
    box.callback(
        [](Fl_Widget* w, void* data) {
            if (*static_cast<bool*>(data)) w->hide();
        },
        &closable);
    box.position((Fl::w() - width) / 2, (Fl::h() - height) / 2);
    box.show();
    // The first button has the focus, as a message box's default button has.
    row.front()->take_focus();
    while (box.shown()) Fl::wait();
    return pressed < 0 ? 0 : pressed;
}

MismatchChoice askAfterResolveFailure() {
    const int answer = messageBox(kErrorCaption, kResolveFailureMessage, false, {"&Abort", "&Retry", "&Ignore"}, false);
    return answer == 0 ? MismatchChoice::Abort : answer == 1 ? MismatchChoice::Retry : MismatchChoice::Ignore;
}

void onRadio(Fl_Widget*, void* data) {
    const Binding& b = *static_cast<Binding*>(data);
    SettingsDialog& d = *b.dialog;
    switch (b.id) {
        case kIdPostgres: d.database = "postgres"; break;
        case kIdMysql: d.database = "mysql"; break;
        case kIdMssql: d.database = "mssql"; break;
        case kIdHttp: d.protocol = "http"; break;
        case kIdHttps: d.protocol = "https"; break;
        case kIdAwsNo: d.aws = false; break;
        case kIdAwsYes: d.aws = true; break;
        default: break;
    }
}

void onOk(Fl_Widget*, void* data) {
    SettingsDialog& d = *static_cast<SettingsDialog*>(data);
    WizardInput input;
    input.serverName = d.name->value();
    input.serverIp = d.ip->value();
    input.serverPort = d.port->value();
    input.database = d.database;
    input.protocol = d.protocol;
    input.aws = d.aws;
    d.outcome = PressOk(input, *d.env, [&d] {
        d.window->hide();
        return askAfterResolveFailure();
    });
    d.window->hide();
}

// Lists the dialog's client size and every control as placed, for the tests
// that compare the layout with their reference (CONFORA_LAYOUT_FILE).
void writeLayout(const SettingsDialog& d) {
    const char* path = std::getenv("CONFORA_LAYOUT_FILE");
    if (!path || !*path) return;
    std::FILE* file = std::fopen(path, "w");
    if (!file) return;
    const Fl_Window& w = *d.window;
    std::fprintf(file, "%s\n", LayoutLine("dialog", kIdStatic, {0, 0, w.w(), w.h()}, w.label()).c_str());
    for (const auto& [widget, control] : d.placed) {
        const std::string text = widget->label() ? widget->label() : "";
        const Rect r{widget->x(), widget->y(), widget->w(), widget->h()};
        std::fprintf(file, "%s\n", LayoutLine(ControlKindName(control->kind), control->id, r, text).c_str());
    }
    std::fclose(file);
}

void build(SettingsDialog& d) {
    const Rect size = ToPixels(kDialogUnits);
    d.window = std::make_unique<DialogWindow>(size.w, size.h, kDialogTitle);
    d.bindings.reserve(DialogControls().size());
    // Radio buttons of one group share an invisible parent, which is what
    // makes them exclusive in FLTK.
    RadioGroup* radioParent = nullptr;
    int radioGroup = 0;
    auto closeRadioGroup = [&] {
        if (radioParent) radioParent->end();
        radioParent = nullptr;
        radioGroup = 0;
    };
    for (const DialogControl& c : DialogControls()) {
        const Rect r = ToPixels(c.units);
        if (c.kind != ControlKind::Radio || c.radioGroup != radioGroup) closeRadioGroup();
        Fl_Widget* widget = nullptr;
        switch (c.kind) {
            case ControlKind::Static: {
                auto* box = new Fl_Box(r.x, r.y, r.w, r.h, c.text.c_str());
                // A label ending left of the field column names the field to
                // its right: it keeps its right edge there, so a font wider
                // than the one the layout was made for grows it leftwards
                // instead of into the field. Other texts start at their left
                // edge and wrap.
                if (c.units.x + c.units.w <= kFieldColumn)
                    box->align(FL_ALIGN_TOP_RIGHT | FL_ALIGN_INSIDE);
                else
                    box->align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
                widget = box;
                break;
            }
            case ControlKind::GroupBox:
                widget = new GroupBox(r.x, r.y, r.w, r.h, c.text.c_str());
                break;
            case ControlKind::Edit: {
                auto* input = new Fl_Input(r.x, r.y, r.w, r.h);
                input->textsize(kFontSize);
                input->textfont(FL_HELVETICA);
                // Longer texts are refused as they are typed or pasted.
                if (c.id == kIdServerName) {
                    d.name = input;
                    input->maximum_size(kServerNameLimit);
                } else if (c.id == kIdServerIp) {
                    d.ip = input;
                    input->maximum_size(kServerIpLimit);
                } else {
                    d.port = input;
                    input->maximum_size(kServerPortLimit);
                }
                widget = input;
                break;
            }
            case ControlKind::Button: {
                // The default button: Enter presses it from any field.
                auto* button = new DialogButton(r.x, r.y, r.w, r.h, c.text.c_str());
                button->shortcut(FL_Enter);
                button->callback(onOk, &d);
                widget = button;
                break;
            }
            case ControlKind::Radio: {
                if (!radioParent) {
                    // The group covers its buttons only, so it takes no clicks meant for others.
                    Rect span = r;
                    for (const DialogControl& other : DialogControls()) {
                        if (other.radioGroup != c.radioGroup) continue;
                        const Rect o = ToPixels(other.units);
                        const int right = std::max(span.x + span.w, o.x + o.w);
                        const int bottom = std::max(span.y + span.h, o.y + o.h);
                        span.x = std::min(span.x, o.x);
                        span.y = std::min(span.y, o.y);
                        span.w = right - span.x;
                        span.h = bottom - span.y;
                    }
                    radioParent = new RadioGroup(span.x, span.y, span.w, span.h);
                    radioGroup = c.radioGroup;
                }
                auto* radio = new Fl_Round_Button(r.x, r.y, r.w, r.h, c.text.c_str());
                radio->type(FL_RADIO_BUTTON);
                radio->value(0);
                d.bindings.push_back({&d, c.id});
                radio->callback(onRadio, &d.bindings.back());
                radio->when(FL_WHEN_CHANGED);
                widget = radio;
                break;
            }
        }
        widget->labelsize(kFontSize);
        widget->labelfont(FL_HELVETICA);
        d.placed.emplace_back(widget, &c);
    }
    closeRadioGroup();
    d.window->end();
    d.window->position((Fl::w() - size.w) / 2, (Fl::h() - size.h) / 2);
}

// Set while a dialog is being set up, so that a display failure in it
// closes the log's "Inside ... OnInitDialog" with its end line.
bool g_inDialogInit = false;
// The exit code of a display failure: a registry that cannot be read keeps
// its own when even its error box cannot be shown.
int g_displayFailureExit = kExitUsage;

// A display that cannot be opened ends the program with the same advice as
// a missing one, instead of FLTK's own abort; the log, when open, says why
// and is closed.
void displayFailed(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = VFormatText(format, args);
    va_end(args);
    std::fprintf(stderr, "confora: %s; run confora --unattended --server-name NAME ... instead (see confora --help)\n",
                 text.c_str());
    if (LogStreamOpen()) {
        LogEssential("\n Unable to open the display: %s ", text.c_str());
        if (g_inDialogInit) LogDialogInitEnd();
        CloseConforaLog();
    }
    std::exit(g_displayFailureExit);
}

int runDialogs(const ConforaEnvironment& env) {
    Fl::fatal = displayFailed;
    useDialogFont();
    if (!env.registryProblem.empty()) {
        // Before any dialog, and without a log: its folder is unknown.
        std::fprintf(stderr, "confora: %s; nothing written\n", env.registryProblem.c_str());
        g_displayFailureExit = kExitRegistryUnreadable;
        const std::string text = " Unable to read the settings: " + env.registryProblem + ". ";
        messageBox(kErrorCaption, text.c_str(), true, {"OK"}, true);
        return kExitRegistryUnreadable;
    }
    OpenConforaLog(env.installDir);
    int exitCode = kExitSuccess;
    for (;;) {
        SettingsDialog d;
        d.env = &env;
        LogDialogInitStart();
        g_inDialogInit = true;
        build(d);
        g_inDialogInit = false;
        LogDialogInitEnd();
        d.window->show();
        writeLayout(d);
        Fl::run();
        if (!d.outcome) {  // closed from the title bar or with Escape
            exitCode = kExitCancelled;
            break;
        }
        if (d.outcome->result == OkResult::EmptyInput) {
            messageBox(kErrorCaption, kEmptyInputMessage, true, {"OK"}, true);
            continue;
        }
        if (d.outcome->result == OkResult::Retry) continue;
        // Values that did not reach the registry are not left to the log
        // alone: the administrator is told, and the exit code says it too.
        if (const std::string failed = WriteFailureText(*d.outcome); !failed.empty()) {
            std::fprintf(stderr, "confora: %s\n", failed.c_str());
            const std::string text = " Unable to save the settings: " + failed + ". ";
            messageBox(kErrorCaption, text.c_str(), true, {"OK"}, true);
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
