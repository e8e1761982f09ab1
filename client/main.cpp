// NorvaltDrvCli: the operator console.
// decisions HOST-11
#include <QApplication>
#include <cstdio>
#include <string_view>

#include "client/MainForm.h"
#include "norvalt/version.h"
#include "platform/rpc/client.h"
#include "service/typelib/TypeLibProxy.h"

int main(int argc, char** argv) {
    // Answered before Qt starts: these need no display.
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--help" || a == "-h" || a == "/?") {
            std::printf(
                "usage: NorvaltDrvCli [Qt options]\n"
                "  The operator console: the posts of the running NorvaltDrv service.\n"
                "  It connects to $NORVALT_SOCKET, else $NORVALT_ROOT/run/NorvaltDrv.sock;\n"
                "  for the default root (/var/lib/norvalt), the installed service's\n"
                "  /run/norvalt/NorvaltDrv.sock.\n"
                "  --help, -h, /?  show this text\n"
                "  --version       show the version\n");
            return 0;
        }
        if (a == "--version") {
            std::printf("NorvaltDrvCli %s\n", NORVALT_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("NorvaltDrvCli"));
    tlb::RegisterTypeLibInterfaces();
    plat::rpc::InstallOutOfProcessCreator();
    const std::unique_ptr<QTranslator> qt_texts = cli::InstallQtTranslations();
    int rc = 0;
    {
        cli::TForm1 form;
        form.show();
        rc = QApplication::exec();
    }
    plat::rpc::DisconnectAll();
    return rc;
}
