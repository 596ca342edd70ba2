// Text at the Qt boundary. Below it text is single-byte: the record set hands out field
// values, messages and names in the ANSI code page of the open table's pair; Qt wants
// Unicode. These functions are the only crossing.
#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "nv6_cpag.h"

// The pages the crossing follows: the open table's (the main window sets them), else the
// default pair. Bytes an OEM page has and its ANSI page lacks (box drawing and the like)
// show as the OEM characters they stand for, so every stored byte shows as itself.
void SetTextPages(const nvlocale::TnvPageChoice& pages);
const nvlocale::TnvPageChoice& TextPages();

// Record-set bytes to Unicode; every byte has its own character, so text survives a
// round trip through Unicode.
QString FromAnsi(std::string_view text);
// Unicode to record-set bytes; a character the table's page cannot hold takes its closest
// stand-in, else '?'.
std::string ToAnsi(const QString& text);
