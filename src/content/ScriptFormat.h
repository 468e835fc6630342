#pragma once

// The Format instruction of a page script: a piece of plain text read as a postal address,
// a person's name, a telephone number or an e-mail address, cased, or turned into a key
// for comparing company names. Each reading is a free function so it can be checked on its
// own. Letters are folded as ASCII only: bytes above 127 (UTF-8) pass through unchanged,
// whatever the user's locale.

#include <string>
#include <string_view>

namespace script {

// Format codes.
enum FormatCode : int {
    kFormatCity = 0,
    kFormatState = 1,
    kFormatStreet = 2,
    kFormatPostalCode = 3,
    kFormatFirstName = 4,
    kFormatMiddleName = 5,
    kFormatLastName = 6,
    kFormatPhone = 7,
    kFormatAreaCode = 8,
    kFormatUpper = 9,
    kFormatCapitalised = 10,
    kFormatLower = 11,
    kFormatEmail = 12,
    kFormatCompareKey = 13,
};

// text is plain text (already converted from HTML, line ends kept, trimmed). An unknown
// code gives an empty text.
std::string FormatValue(std::string_view text, int code);

struct Address {
    std::string street;  // the street lines, one per line, joined by line feeds
    std::string city;
    std::string state;  // two-letter abbreviation where the table knows the state
    std::string postalCode;
};
// Commas count as line breaks. From the end: the last word holding a digit is the postal
// code (with the word before it when the two make a Canadian code such as "K1A 0B1"), the
// state or province before it (one or more words: "New York", "British Columbia"), the
// rest of that line the city (the line before when nothing else is left on it), and every
// line before the street lines.
Address ReadAddress(std::string_view text);

// The two-letter abbreviation of a US state or territory or a Canadian province or
// territory: words equal to one of a row's spellings (ignoring case), or a beginning of
// its full name. Empty when no row fits.
std::string StateAbbreviation(std::string_view words);

struct PersonName {
    std::string first, middle, last;
};
// "Last, First Middle..." when a comma follows the first character; otherwise
// "First Middle... Last".
PersonName ReadName(std::string_view text);

// "AAA PPP-NNNN" from the last ten digits, "PPP-NNNN" from exactly seven, else empty.
std::string Telephone(std::string_view text);
// The first three of the last ten digits; empty with fewer than ten.
std::string AreaCode(std::string_view text);

std::string Upper(std::string_view text);
std::string Lower(std::string_view text);
// The first letter and each letter after white space upper case, all others lower case.
std::string Capitalised(std::string_view text);

// "Display Name <user@host>" from the words before the first word holding "@" and that
// word in lower case; empty when no word holds "@".
std::string EmailAddress(std::string_view text);

// Lower case, punctuation and the usual company and title words removed, single blanks,
// trimmed: "Acme Corp." and "ACME corporation" give the same key.
std::string CompareKey(std::string_view text);

// White space as the script reads it: blank, tab, CR, LF, VT, FF.
bool IsSpace(char c);
std::string_view Trim(std::string_view text);

}  // namespace script
