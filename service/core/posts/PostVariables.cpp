#include "service/core/posts/PostVariables.h"

#include <stdexcept>

namespace drv {

namespace {

// Money and ranges are given in units; the descriptors hold them in fixed point.
constexpr VarDef kRows[kCommonVarCount - 1] = {
    {27, "ControllerVersion", "Версия аппаратного исполнения контроллера", false, 0, 255, 1, 2, 1,
     0, "Controller hardware version"},
    {26, "FirmwareVersion", "Версия ПО контроллера", false, 0, 255, 1, 2, 1, 0,
     "Controller firmware version"},
    {32, "Address", "Номер поста", false, 1, 9999, 1, 0, 1, 1, "Post number"},
    {32, "Address", "Номер поста", true, 1, 9999, 1, 0, 1, 1, "Post number"},
    {14, "CalibV", "Тарировочный коэфф счетчика по объему", true, 1, 50, 0.001, 0, 2, 1,
     "Volume correction factor"},
    {37, "CalibW", "Тарировочный коэфф счетчика по массе", true, 1, 50, 0.001, 0, 2, 1,
     "mass correction factor"},
    {13, "PriceV", "Цена продукта", true, 0.01, 99.99, 0.01, 0, 2, 0, "Product price"},
    {13, "PriceV", "Цена продукта", true, 0.1, 999.9, 0.1, 0, 2, 0, "Product price"},
    {13, "PriceV", "Цена продукта", true, 1, 9999, 1, 0, 2, 0, "Product price"},
    {18, "USSTimeout", "Таймаут ожидания расхода", true, 0, 99, 1, 2, 2, 1, "Flow timeout"},
    {23, "BasePost", "Базовый пост контроллера", false, 1, 32, 1, 3, 1, 0,
     "Controller base post number"},
    {38, "SidePost", "Базовый пост стороны", false, 1, 32, 1, 3, 1, 0, "Side base post number"},
    {24, "Side", "Сторона поста", false, 1, 2, 1, 3, 1, 0, "Side number"},
    {15, "Inspector", "Счетчик инспектора", false, 0, 65535, 1, 2, 2, 1, "Inspector counter"},
    {3, "DozeV", "Заданный объем к отпуску", true, 0.01, 999.99, 0.01, 0, 2, 0,
     "Volume to load/unload"},
    {4, "DozeM", "Заданное к-во продукта на сумму денег", true, 0.01, 9999.99, 0.01, 0, 2, 0,
     "Product amount to load/unload in money"},
    {7, "CurrentM", "Отпущенное к-во продукта в денежных единицах", false, 0, 9999.99, 0.01, 0, 5,
     0, "Loaded/unloaded product amount in money"},
    {17, "FullDown", "Объем продукта от выкл.макс.расх. до оконч.отпуска", true, 0, 99, 1, 2, 2, 1,
     "Product volume before process end to set low flow"},
    {6, "CurrentV", "Отпущенный объем продукта", false, 0, 999.99, 0.01, 0, 5, 0,
     "Loaded/unloaded product volume"},
    {9, "TotalV", "Фискальный сумматор продукта по объему", false, 0, 1000000, 0.01, 0, 5, 1,
     "Product volume totalizer"},
    {11, "TotalW", "Фискальный сумматор продукта по массе", false, 0, 1000000, 0.01, 0, 5, 1,
     "Product mass totalizer"},
    {12, "Temperature", "Температура продукта", false, -40, 60, 1, 2, 6, 0, "Product temperature"},
    {12, "Temperature", "Температура продукта", false, -40, 60, 0.1, 2, 6, 0,
     "Product temperature"},
    {12, "Temperature", "Температура продукта", false, -40, 60, 0.01, 2, 6, 0,
     "Product temperature"},
    {34, "LabTemperature", "Температура лаб. пробы продукта", true, -40, 60, 0.01, 2, 2, 0,
     "Product probe temperature"},
    {33, "LabDensity", "Плотность лаб. пробы продукта, кг/л", true, 0.5, 0.9999, 0.0001, 2, 2, 0,
     "Product probe density, kg/l"},
    {35, "Density", "Плотность продукта, кг/л", false, 0.5, 0.9999, 0.0001, 2, 2, 0,
     "Product density, kg/l"},
    {29, "Productivity", "Объемный расход", false, 0, 100000000, 0.0001, 0, 9, 0, "Volume flow"},
    {29, "Productivity", "Объемный расход", false, 0, 100000000, 0.0001, 0, 6, 0, "Volume flow"},
    {36, "StateWithFlags", "Состояние с доп.флагами", false, 0, 255, 1, 0, 9, 0,
     "Process state with additional bit flags"},
    {8, "CurrentW", "Отп. доза, кг", false, 0, 1000000, 0.0001, 0, 5, 0, "Currently loaded mass"},
    {1, "Earthed", "Заземление", false, 0, 1, 1, 0, 6, 0, "Earth connection"},
    {2, "HandleState", "Положение стояка", false, 0, 1, 1, 0, 6, 0,
     "Loading/unloading tube position"},
    {2, "HandleState", "Положение стояка", false, 0, 2, 1, 0, 6, 0,
     "Loading/unloading tube position"},
    {20, "TrapState", "Положение перекидного трапа", false, 0, 1, 1, 0, 6, 0, "Trap position"},
    {30, "OverFill", "Переполнение емкости", false, 0, 1, 1, 0, 5, 0, "Tank overfill"},
};

constexpr double kFactors[kRefreshClasses][kRefreshColumns] = {
    {1000, 1000, 1000}, {1000, 1000, 1000}, {200, 1000, 200}, {100, 100, 100},
    {1, 1, 1},          {1000, 1, 1},       {2, 2, 2},        {5, 2, 2},
    {1000, 1000, 1000}, {1000, 1000, 1000},
};

std::array<TVariableInfoEx, kCommonVarCount> BuildTable() {
    std::array<TVariableInfoEx, kCommonVarCount> t{};
    for (int i = 0; i < kCommonVarCount - 1; ++i)
        t[static_cast<size_t>(i)] = MakeVariableInfo(kRows[i]);
    return t;
}

}  // namespace

int64_t UnitsToFixed(double units) {
    const double v = units * static_cast<double>(kFixedOne);
    return static_cast<int64_t>(v < 0 ? v - 0.5 : v + 0.5);
}

TVariableInfoEx MakeVariableInfo(const VarDef& def) {
    TVariableInfoEx v;
    v.Code = static_cast<tlb::TVariableEnum>(def.code);
    v.ShortName = plat::Utf8ToWide(def.short_name);
    v.Name = plat::Utf8ToWide(def.name);
    v.IsReadable = plat::VARIANT_TRUE;
    v.IsWriteable = def.writeable ? plat::VARIANT_TRUE : plat::VARIANT_FALSE;
    v.MinValue.int64 = UnitsToFixed(def.min);
    v.MaxValue.int64 = UnitsToFixed(def.max);
    v.Step.int64 = UnitsToFixed(def.step);
    v.BelongsTo = static_cast<int8_t>(def.belongs_to);
    v.IsRandom = plat::VARIANT_FALSE;
    v.RefreshClass = static_cast<uint8_t>(def.refresh_class);
    v.WriteLevel = def.write_level;
    v.EnglishDescription = def.english;
    return v;
}

const TVariableInfoEx& CommonVariable(int record) {
    static const std::array<TVariableInfoEx, kCommonVarCount> table = BuildTable();
    if (record < 0 || record >= kCommonVarCount)
        throw std::out_of_range("common variable record " + std::to_string(record));
    return table[static_cast<size_t>(record)];
}

TVariableInfoEx CopyVariableInfo(int record) {
    return CommonVariable(record);
}

double RefreshFactor(int refresh_class, int column) {
    if (refresh_class < 0 || refresh_class >= kRefreshClasses || column < 0 ||
        column >= kRefreshColumns)
        return 1000;
    return kFactors[refresh_class][column];
}

const VarSet& MoneyVars() {
    static const VarSet s = [] {
        VarSet v;
        v.set(tlb::cvDozeM);
        v.set(tlb::cvCurrentM);
        return v;
    }();
    return s;
}

const VarSet& BaseNoRefreshVars() {
    static const VarSet s = [] {
        VarSet v;
        for (int c : {tlb::cvFirmwareVersion, tlb::cvControllerVersion, tlb::cvAddress,
                      tlb::cvStateWithFlags})
            v.set(static_cast<size_t>(c));
        return v;
    }();
    return s;
}

}  // namespace drv
