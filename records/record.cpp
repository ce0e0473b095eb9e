#include "records/record.h"

#include <sys/stat.h>

#include "log/log.h"
#include "records/app_control.h"

TRecord::TRecord(TRecordLinks links)
    : links_(std::move(links)),
      catalogue_(links_.catalogue_dir + "/" + std::string(CATALOGUE_FILE_NAME)) {
    TLog::Add(links_.log, "TRecord::TRecord", LOG_TYPE_DEBUG);
    LoadCatalogue();
}

void TRecord::Fail(const std::string& text) const {
    TLog::Add(links_.log, text, LOG_TYPE_FATAL);
    if (links_.app != nullptr) {
        links_.app->ShowErrorBox(text);
        links_.app->Terminate();
    }
}

void TRecord::LogMissingSection(std::string_view section) const {
    TLog::Addf(links_.log, LOG_TYPE_ERROR, "Не найдена секция \"%s\" в INI файле сообщений \"%s\"",
               section, CATALOGUE_FILE_NAME);
}

void TRecord::LoadCatalogue() {
    struct stat st {};
    if (::stat(catalogue_.GetPath().c_str(), &st) != 0) {
        Fail("Не найден INI файл сообщений \"" + std::string(CATALOGUE_FILE_NAME) + "\"");
    }
    // A missing file reads as empty, so its first section is reported missing as well.
    const auto file = catalogue_.Current();
    bool failed = false;
    for (int type = 0; type < RECORD_TYPE_COUNT && !failed; ++type) {
        const std::string_view section = RecordTypeName(type);
        if (!file->SectionExists(section)) {
            LogMissingSection(section);
            failed = true;
            continue;
        }
        std::string name = file->ReadString(section, "name", "");
        if (name.empty()) {
            TLog::Addf(links_.log, LOG_TYPE_ERROR,
                       "Не найдено поле \"name\" в секции \"%s\" в INI файле сообщений \"%s\"",
                       section, CATALOGUE_FILE_NAME);
            failed = true;
            continue;
        }
        type_names_[static_cast<std::size_t>(type)] = std::move(name);
    }
    if (failed) {
        Fail("Ошибка в INI файле сообщений \"" + std::string(CATALOGUE_FILE_NAME) + "\"");
    }
}

const std::string& TRecord::GetTypeName(int type) const {
    static const std::string none;
    return type >= 0 && type < RECORD_TYPE_COUNT ? type_names_[static_cast<std::size_t>(type)]
                                                 : none;
}
