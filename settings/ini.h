// A small INI reader and writer: the file behind the settings layer.
//
// Text model: "[Section]" header lines, each followed by "key=value" lines. Section and key
// names match case-insensitively (ASCII) and may carry blanks around them; a value is all
// text after the first '=' up to the line end, kept as it is, except that the '\r' of a CRLF
// line end never becomes part of it. Blank lines, lines whose first non-blank character is
// ';', and lines without '=' are ignored; keys before the first header belong to no section.
// When a key occurs twice in a section, the first one counts. A leading UTF-8 byte-order mark
// is skipped.
//
// Errors: readIniFile and writeIniFile return 0 or -1 and report nothing (the settings file
// fails silently by design; callers that must tell the user do so themselves).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct IniSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;  // key, value in file order
};

struct IniDocument {
    std::vector<IniSection> sections;  // in file order; a name may repeat
};

// Replaces document with the contents of text (LF or CRLF line ends).
void parseIni(std::string_view text, IniDocument& document);
// Reads and parses the file; -1 when it cannot be opened or read (document then empty).
int readIniFile(const std::string& path, IniDocument& document);

// The value of key in section, cut to maxLength characters; defaultValue (also cut) when
// the key is absent. A present key with nothing after '=' gives "", not the default.
std::string getIniString(const IniDocument& document, std::string_view section,
                         std::string_view key, std::string_view defaultValue,
                         std::size_t maxLength);
// Sets key in section (replacing its first occurrence, else appending it; a new section
// goes to the end). A value holding a line break is cut before it, since the line format
// cannot carry one.
void setIniString(IniDocument& document, std::string_view section, std::string_view key,
                  std::string_view value);

// The document as file text: "[name]" then "key=value" lines, LF line ends, final newline.
std::string formatIni(const IniDocument& document);
// Writes formatIni(document) through replaceFile (system.h): a symbolic link at path stays
// and the file at its end is replaced, keeping its mode. On any failure the previous file is
// untouched and no temporary file stays.
int writeIniFile(const std::string& path, const IniDocument& document);
