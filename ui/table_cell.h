#pragma once

#include <QString>

#include <string>

// A stored text as a table cell shows it: one line, cut after a few hundred characters, so a
// comment of many lines or thousands of characters keeps its row readable.
QString OneLineCell(const std::string& text);
