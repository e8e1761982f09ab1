#include "client/MainForm.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "client/ValueDelegate.h"
#include "platform/com/classes.h"
#include "platform/rpc/connection.h"

namespace cli {

std::unique_ptr<QTranslator> InstallQtTranslations() {
    // The window speaks Russian whatever the system's locale; Qt's own texts follow it.
    // decisions CLI-18
    auto t = std::make_unique<QTranslator>();
    if (!t->load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"),
                 QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(t.get()))
        return nullptr;
    return t;
}

TForm1::Creator TForm1::DefaultCreator() {
    // A stopped service must not hold the console's calls for good.
    plat::rpc::SetClientCallTimeout(kCallTimeoutMs);
    return [](const std::string& computer, uint32_t clsctx, plat::ComPtr<plat::IUnknown>& out) {
        void* p = nullptr;
        const plat::HRESULT hr =
            plat::CreateInstance(tlb::CLSID_TORK, clsctx, computer, plat::IID_IUnknown, &p);
        out = plat::Succeeded(hr)
                  ? plat::ComPtr<plat::IUnknown>::Attach(static_cast<plat::IUnknown*>(p))
                  : plat::ComPtr<plat::IUnknown>();
        return hr;
    };
}

TForm1::Display TForm1::DefaultDisplay(QWidget* parent) {
    return [parent](const QString& text) {
        QMessageBox box(QMessageBox::Information, QApplication::applicationName(), text,
                        QMessageBox::Ok, parent);
        // Qt's Russian texts leave this one in Latin letters.
        // decisions CLI-18
        box.button(QMessageBox::Ok)->setText(QStringLiteral("ОК"));
        box.exec();
    };
}

void TForm1::GuiOnly() const {
    if (QThread::currentThread() != thread()) {
        off_thread_.fetch_add(1);
        qCritical("TForm1 handler entered off the GUI thread");
    }
}

QString TForm1::StateText(int state) {
    switch (state) {
        case tlb::csIdle:
            return QStringLiteral("Ожидание");
        case tlb::csWaitingKey:
            return QStringLiteral("Доза задана");
        case tlb::csWorking:
            return QStringLiteral("Отпуск");
        case tlb::csPaused:
            return QStringLiteral("Отпуск остановлен");
        case tlb::csUnknown:
            return QStringLiteral("Инициализация");
        case tlb::csCommError:
            return QStringLiteral("Отсутствие связи");
        case tlb::csHardwareError:
            return QStringLiteral("Авария в силовых элементах");
        case tlb::csControllerError:
            return QStringLiteral("Авария в электронике");
        case tlb::csSensorError:
            return QStringLiteral("Ошибка одного из датчиков");
        case tlb::csOldController:
            return QStringLiteral("Требуется обновление ПО контроллера");
        case tlb::csNewController:
            return QStringLiteral("Требуется обновление драйвера");
        case tlb::csFire:
            return QStringLiteral("Пожар");
        default:
            return {};
    }
}

}  // namespace cli
