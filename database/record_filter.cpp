#include "database/record_filter.h"

#include <fmt/format.h>

std::string RecordFilterError(const TRecordFilter& filter) {
    if (filter.from && filter.to && *filter.to < *filter.from) {
        return fmt::format("Фильтр записей: конец периода ({}) раньше его начала ({})", *filter.to,
                           *filter.from);
    }
    return {};
}
