#include "service/host/OPCErrors.h"

#include <cstdio>

#include "platform/com/callcontext.h"
#include "platform/com/error.h"
#include "platform/types/wstr.h"
#include "service/core/logs/ProtocolLog.h"

namespace drv {

using plat::HRESULT;

namespace {

// --- error texts -------------------------------------------------------------------------------

struct ErrorRow {
    uint32_t code;
    const char* en;
    const char* ru;  // nullptr: English only
};

constexpr ErrorRow kErrorRows[] = {
    {0xC0040001, "The value of the handle is invalid", "Ошибочное значение handle"},
    {0xC0040004,
     "The server cannot convert the data between the requested data type and the canonical "
     "data type.",
     "Невозможно преобразовать данные между требуемым и каноническим типами"},
    {0xC0040005, "The requested operation cannot be done on a public group",
     "Запрошенное действие неприменимо для общей группы"},
    {0xC0040006, "The Items AccessRights do not allow the operation",
     "Запрошенная операция невыполнима для указанных тегов"},
    {0xC0040007, "The item is not available in the server address space",
     "Указанного параметра нет в адресном пространстве"},
    {0xC0040008, "The item definition does not conform to the server's syntax",
     "Определение тега не соответствует синтаксису сервера"},
    {0xC0040009, "The filter string was not valid.", "Фильтр был задан неверно"},
    {0xC004000A, "The item's access path is not known to the server",
     "Заданный для тега путь доступа неизвестен"},
    {0xC004000B, "The value was out of range.",
     "Указанное значение находится вне допустимого диапазона"},
    {0xC004000C, "Duplicate name not allowed.", "Повтор имени недопустим"},
    {0x0004000D,
     "The server does not support the requested data rate but will use the closest available "
     "rate",
     "Сервер не поддерживает запрошенную частоту обновления, но будет использовать ближайшую "
     "возможную"},
    {0x0004000E, "A value passed to WRITE was accepted but the output was clamped", nullptr},
    {0x0004000F,
     "The operation cannot be completed because the object still has references that exist",
     "Операция не может быть завершена, т.к. есть активные ссылки"},
    {0xC0040010, "The server's configuration file is an invalid format",
     "Конфигурация сервера ошибочна"},
    {0xC0040011, "The server could not locate the requested object",
     "Запрошенный объект не найден"},
    {0xC0040203, "The server does not recognise the passed property ID",
     "Указанные ID свойств не опознаны"},
    {0x00040200, "The condition has already been acknowleged",
     "Указанное событие уже подтверждено"},
    {0x00040201, "The buffer time parameter was invalid", "Время, указанное в буфере, неверно"},
    {0x00040202, "The max size parameter was invalid", "Указанный максимальный размер неверен"},
    {0xC0040204, "The time does not match the latest active time",
     "Время не соответствует последнему активному времени"},
    {0xC0040205, "A refresh is currently in progress", "Сервер занят"},
    {0xC0040206, "Information is not available", "Нет информации"},
    {0x80004001, "Function not implemented", "Функция не реализована"},
    {0x80040201, "One group is limited for only one asyncronous operation at any time",
     "Группа ограничена только одной асинхронной операцией в каждый момент времени"},
};

// The platform's own texts for the codes this system meets.
constexpr ErrorRow kSystemRows[] = {
    {0x00000000, "The operation completed successfully.", "Операция успешно завершена."},
    {0x00000001, "The operation completed with a partial result.",
     "Операция завершена с частичным результатом."},
    {0x80004002, "No such interface supported", "Интерфейс не поддерживается"},
    {0x80004003, "Invalid pointer", "Недопустимый указатель"},
    {0x80004004, "Operation aborted", "Операция прервана"},
    {0x80004005, "Unspecified error", "Неопознанная ошибка"},
    {0x8000FFFF, "Catastrophic failure", "Разрушительный сбой"},
    {0x80070005, "Access is denied.", "Отказано в доступе."},
    {0x80070006, "The handle is invalid.", "Неверный дескриптор."},
    {0x8007000E, "Not enough storage is available to complete this operation.",
     "Недостаточно памяти для завершения операции."},
    {0x80070057, "The parameter is incorrect.", "Параметр задан неверно."},
    {0x800706F5, "The enumeration value is out of range.",
     "Значение перечисления вне допустимого диапазона."},
    {0x80020005, "Type mismatch.", "Несоответствие типов."},
    {0x8002000A, "Out of present range.", "Выход за пределы допустимого диапазона."},
    {0x80040200, "Connection point has no connection.", "У точки подключения нет подключений."},
    {0x80040201, "Connection limit reached.", "Достигнут предел подключений."},
    {0x80040202, "The sink cannot be connected.", "Приемник не может быть подключен."},
    {0x80004008, "The server is stopping.", "Сервер останавливается."},
    {0x80010108, "The object invoked has disconnected from its clients.",
     "Вызванный объект отключился от клиентов."},
};

bool RussianLocale(plat::LCID lcid) {
    return (lcid & 0x3FF) == 0x19;
}

// The platform's text for `code`: at most 256 characters, without trailing blanks and dots.
std::string SystemErrorText(HRESULT code, bool russian) {
    std::string text;
    for (const ErrorRow& r : kSystemRows)
        if (r.code == static_cast<uint32_t>(code)) text = russian ? r.ru : r.en;
    if (text.empty()) {
        char buf[64];
        std::snprintf(buf, sizeof buf,
                      // decisions HOST-43
                      russian ? "Неизвестная ошибка 0x%08X" : "Unknown error 0x%08X",
                      static_cast<unsigned>(code));
        text = buf;
    }
    std::u16string w = plat::Utf8ToWide(text);
    if (w.size() > 256) w.resize(256);
    while (!w.empty() && (w.back() == u' ' || w.back() == u'.')) w.pop_back();
    return plat::WideToUtf8(w);
}

}  // namespace

std::string OPCErrorText(HRESULT code, plat::LCID lcid) {
    const bool russian = RussianLocale(lcid);
    for (const ErrorRow& r : kErrorRows)
        if (r.code == static_cast<uint32_t>(code)) return russian && r.ru ? r.ru : r.en;
    return SystemErrorText(code, russian);
}

// --- EClientError ------------------------------------------------------------------------------

EClientError::EClientError(std::string_view method, HRESULT hr)
    : std::runtime_error("Ошибка вызова " + std::string(method) + ". Код:" + std::to_string(hr) +
                         ". " + SystemErrorText(hr, plat::ProcessLocale() == plat::LOCALE_RU_RU)),
      hr_(hr) {}

void TClientCalls::Check(std::string_view method, HRESULT hr) {
    if (plat::Failed(hr)) {
        failing_.store(true);
        throw EClientError(method, hr);
    }
    if (failing_.exchange(false)) WriteProtocolLine("OPC Client call ok after errors", PL_INFO);
}

}  // namespace drv
