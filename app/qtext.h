// Text at the Qt boundary. Below it text is single-byte: the record set hands out field
// values, messages and names in the ANSI code page (Windows-1252); Qt wants Unicode. These
// two functions are the only crossing.
#pragma once

#include <QString>
#include <string>
#include <string_view>

// Windows-1252 bytes to Unicode. The five unassigned codes (0x81, 0x8D, 0x8F, 0x90, 0x9D)
// map to the control characters of the same number, so every byte survives a round trip.
QString FromAnsi(std::string_view text);
// Unicode to Windows-1252; a character the page cannot hold becomes '?'.
std::string ToAnsi(const QString& text);
