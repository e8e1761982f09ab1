#include "service/drivers/Drivers.h"

#include "service/core/controllers/ControllerClasses.h"
#include "service/drivers/TRK1.h"
#include "service/drivers/TRK10.h"
#include "service/drivers/TRK20.h"
#include "service/drivers/TRK30.h"
#include "service/drivers/TRK40.h"
#include "service/drivers/TRK46.h"
#include "service/drivers/TRKFF.h"
#include "service/drivers/TRKX.h"

namespace drv {

namespace {

ComPtr<TBasicTork> MakeTork1(const TorkCreateArgs& args) {
    return ComPtr<TBasicTork>(TBasicTork::Make<TTork1>(args).Get());
}

ComPtr<TBasicTork> MakeTork10(const TorkCreateArgs& args) {
    return ComPtr<TBasicTork>(TBasicTork::Make<TTork10>(args).Get());
}

ComPtr<TBasicTork> MakeTork20(const TorkCreateArgs& args) {
    return ComPtr<TBasicTork>(TBasicTork::Make<TTork20>(args).Get());
}

ComPtr<TBasicTork> MakeTork30(const TorkCreateArgs& args) {
    return ComPtr<TBasicTork>(TBasicTork::Make<TTork30>(args).Get());
}

ComPtr<TBasicTork> MakeTork40(const TorkCreateArgs& args) {
    return ComPtr<TBasicTork>(TBasicTork::Make<TTork40>(args).Get());
}

ComPtr<TBasicTork> MakeTork46(const TorkCreateArgs& args) {
    return ComPtr<TBasicTork>(TBasicTork::Make<TTork46>(args).Get());
}

ComPtr<TBasicTork> MakeTorkFF(const TorkCreateArgs& args) {
    return ComPtr<TBasicTork>(TBasicTork::Make<TTorkFF>(args).Get());
}

ComPtr<TBasicTork> MakeTorkX(const TorkCreateArgs& args, bool newer_program,
                             const std::string& program_id, bool reprobe) {
    ComPtr<TTorkX> x = TBasicTork::Make<TTorkX>(args, newer_program, program_id);
    if (reprobe) x->ReprobeLater();
    return ComPtr<TBasicTork>(x.Get());
}

}  // namespace

void InstallDrivers() {
    InstallTorkClass(TorkClass::T1, &MakeTork1);
    InstallTorkClass(TorkClass::T10, &MakeTork10);
    InstallTorkClass(TorkClass::T20, &MakeTork20);
    InstallTorkClass(TorkClass::T30, &MakeTork30);
    InstallTorkClass(TorkClass::T40, &MakeTork40);
    InstallTorkClass(TorkClass::T46, &MakeTork46);
    InstallTorkClass(TorkClass::TFF, &MakeTorkFF);
    InstallTorkFallback(&MakeTorkX);
}

}  // namespace drv
