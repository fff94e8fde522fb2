// Sets the product stand-in up in the prefix, for the demo and by hand:
//   kestrelctl install | uninstall | start | stop | status
//   kestrelctl register-com | unregister-com
//   kestrelctl set NAME VALUE      (a lab behaviour value, e.g. ProcessingDelayMs 50)
//   kestrelctl reset               (clears the behaviour values)

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kestrel/kestrel_lab.h"
#include "kestrel/kestrel_layout.h"

namespace {

int Result(const char* what, DWORD status) {
    if (status) std::printf("%s: error %lu\n", what, static_cast<unsigned long>(status));
    return status ? 1 : 0;
}

const char* StateName(DWORD state) {
    switch (state) {
        case 0: return "not installed";
        case SERVICE_STOPPED: return "stopped";
        case SERVICE_START_PENDING: return "starting";
        case SERVICE_STOP_PENDING: return "stopping";
        case SERVICE_RUNNING: return "running";
        default: return "other";
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* command = argc > 1 ? argv[1] : "";
    if (!std::strcmp(command, "install")) {
        DWORD status = kestrel::InstallService();
        if (!status) status = kestrel::RegisterControlObject();
        return Result("install", status);
    }
    if (!std::strcmp(command, "uninstall")) {
        DWORD status = kestrel::UninstallService();
        DWORD com = kestrel::UnregisterControlObject();
        return Result("uninstall", status ? status : com);
    }
    if (!std::strcmp(command, "start")) return Result("start", kestrel::StartService());
    if (!std::strcmp(command, "stop")) return Result("stop", kestrel::StopService());
    if (!std::strcmp(command, "register-com"))
        return Result("register-com", kestrel::RegisterControlObject());
    if (!std::strcmp(command, "unregister-com"))
        return Result("unregister-com", kestrel::UnregisterControlObject());
    if (!std::strcmp(command, "status")) {
        std::printf("%s: %s\n", kestrel::kServiceName, StateName(kestrel::ServiceState()));
        return 0;
    }
    if (!std::strcmp(command, "set") && argc == 4) {
        kestrel::SetBehaviour(argv[2], static_cast<DWORD>(std::strtoul(argv[3], nullptr, 0)));
        return 0;
    }
    if (!std::strcmp(command, "reset")) {
        kestrel::ResetBehaviour();
        return 0;
    }
    std::printf("usage: kestrelctl install|uninstall|start|stop|status|register-com|"
                "unregister-com|reset|set NAME VALUE\n");
    return 2;
}
