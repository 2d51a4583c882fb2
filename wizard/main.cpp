// Confora, the settings wizard. The dialog is not part of this build yet; the
// program says so, and how to set the connection values meanwhile.
#include <cstdio>

int main() {
    std::printf(
        "confora: the settings dialog is not available in this build.\n"
        "Set ServerIPAddress, ServerPort, ServerProtocol and ServerDBType under\n"
        "HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\ServerInfo in the registry file\n"
        "($ORBISK_REGISTRY, default /etc/orbisk/registry.reg).\n");
    return 1;
}
