#pragma once

// The captions of a displayed record's fields. The type codes themselves are the database's:
// database/record_types.h.

#include <array>
#include <string_view>

// Captions of the fields of a displayed record, in display order: id, device id, time,
// address, factory name, user name, type name, message.
constexpr int RECORD_FIELD_COUNT = 8;
constexpr std::array<std::string_view, RECORD_FIELD_COUNT> RECORD_FIELD_CAPTIONS = {
    "#", "Device ID", "Дата / Время", "Адрес", "Имя", "Описание", "Тип", "Сообщение",
};
constexpr int RECORD_FIELD_MESSAGE = RECORD_FIELD_COUNT - 1;
// The width of a field no one has set: its column fits its caption and a typical value.
constexpr int RECORD_FIELD_WIDTH_FIT = -1;
// How the field menu reports a field switched on or off.
constexpr std::string_view FIELD_SWITCHED_ON = "Включено";
constexpr std::string_view FIELD_SWITCHED_OFF = "Отключено";
