// NorvaltDrvCli: the operator console.
#include <QApplication>

#include "client/MainForm.h"
#include "platform/rpc/client.h"
#include "service/typelib/TypeLibProxy.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("NorvaltDrvCli"));
    tlb::RegisterTypeLibInterfaces();
    plat::rpc::InstallOutOfProcessCreator();
    int rc = 0;
    {
        cli::TForm1 form;
        form.show();
        rc = QApplication::exec();
    }
    plat::rpc::DisconnectAll();
    return rc;
}
