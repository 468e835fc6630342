#include "content/ScriptFormat.h"
#include "platform/AsciiText.h"

#include <array>
#include <vector>

namespace script {

namespace {

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

using ascii::EqualsNoCase;

// A row of the state table: the abbreviation, the full name, then other spellings seen in
// addresses (older abbreviations, French names).
struct StateRow {
    const char* abbreviation;
    const char* name;
    std::array<const char*, 4> spellings;
};

// clang-format off
const StateRow kStates[] = {
    {"AL", "Alabama", {"Ala"}},
    {"AK", "Alaska", {"Alas"}},
    {"AZ", "Arizona", {"Ariz"}},
    {"AR", "Arkansas", {"Ark"}},
    {"CA", "California", {"Calif", "Cal"}},
    {"CO", "Colorado", {"Colo", "Col"}},
    {"CT", "Connecticut", {"Conn"}},
    {"DE", "Delaware", {"Del"}},
    {"DC", "District of Columbia", {"D.C", "Wash DC", "Washington DC"}},
    {"FL", "Florida", {"Fla"}},
    {"GA", "Georgia", {"Ga"}},
    {"HI", "Hawaii", {"Hawai'i"}},
    {"ID", "Idaho", {"Ida"}},
    {"IL", "Illinois", {"Ill", "Ills"}},
    {"IN", "Indiana", {"Ind"}},
    {"IA", "Iowa", {"Ia"}},
    {"KS", "Kansas", {"Kan", "Kans"}},
    {"KY", "Kentucky", {"Ky", "Ken", "Kent"}},
    {"LA", "Louisiana", {"La"}},
    {"ME", "Maine", {"Me"}},
    {"MD", "Maryland", {"Md"}},
    {"MA", "Massachusetts", {"Mass"}},
    {"MI", "Michigan", {"Mich"}},
    {"MN", "Minnesota", {"Minn"}},
    {"MS", "Mississippi", {"Miss"}},
    {"MO", "Missouri", {"Mo"}},
    {"MT", "Montana", {"Mont"}},
    {"NE", "Nebraska", {"Nebr", "Neb"}},
    {"NV", "Nevada", {"Nev"}},
    {"NH", "New Hampshire", {"N.H"}},
    {"NJ", "New Jersey", {"N.J"}},
    {"NM", "New Mexico", {"N.M", "N Mex", "New Mex"}},
    {"NY", "New York", {"N.Y"}},
    {"NC", "North Carolina", {"N.C", "N Car"}},
    {"ND", "North Dakota", {"N.D", "N Dak"}},
    {"OH", "Ohio", {"O"}},
    {"OK", "Oklahoma", {"Okla"}},
    {"OR", "Oregon", {"Ore", "Oreg"}},
    {"PA", "Pennsylvania", {"Penn", "Penna", "Pa"}},
    {"RI", "Rhode Island", {"R.I"}},
    {"SC", "South Carolina", {"S.C", "S Car"}},
    {"SD", "South Dakota", {"S.D", "S Dak"}},
    {"TN", "Tennessee", {"Tenn"}},
    {"TX", "Texas", {"Tex"}},
    {"UT", "Utah", {"Ut"}},
    {"VT", "Vermont", {"Vt"}},
    {"VA", "Virginia", {"Va", "Virg"}},
    {"WA", "Washington", {"Wash", "Wn"}},
    {"WV", "West Virginia", {"W.Va", "W Va", "W Virg"}},
    {"WI", "Wisconsin", {"Wis", "Wisc"}},
    {"WY", "Wyoming", {"Wyo"}},
    {"AS", "American Samoa", {"Samoa"}},
    {"GU", "Guam", {}},
    {"MP", "Northern Mariana Islands", {"Mariana Islands", "CNMI"}},
    {"PR", "Puerto Rico", {"P.R"}},
    {"VI", "Virgin Islands", {"US Virgin Islands", "U.S. Virgin Islands", "USVI"}},
    {"UM", "United States Minor Outlying Islands", {}},
    {"FM", "Federated States of Micronesia", {"Micronesia"}},
    {"MH", "Marshall Islands", {}},
    {"PW", "Palau", {}},
    {"AB", "Alberta", {"Alta"}},
    {"BC", "British Columbia", {"B.C", "Colombie-Britannique"}},
    {"MB", "Manitoba", {"Man"}},
    {"NB", "New Brunswick", {"N.B", "Nouveau-Brunswick"}},
    {"NL", "Newfoundland and Labrador", {"Newfoundland", "Nfld", "NF", "Terre-Neuve-et-Labrador"}},
    {"NS", "Nova Scotia", {"N.S", "Nouvelle-Ecosse", "Nouvelle-\xc3\x89" "cosse"}},
    {"NT", "Northwest Territories", {"NWT", "N.W.T", "Territoires du Nord-Ouest"}},
    {"NU", "Nunavut", {}},
    {"ON", "Ontario", {"Ont"}},
    {"PE", "Prince Edward Island", {"PEI", "P.E.I", "Ile-du-Prince-Edouard"}},
    {"QC", "Quebec", {"Qu\xc3\xa9" "bec", "PQ", "Que"}},
    {"SK", "Saskatchewan", {"Sask"}},
    {"YT", "Yukon", {"Yukon Territory", "YK"}},
};
// clang-format on

// Words of one line with the line they came from.
struct Word {
    std::string text;
    size_t line;
};

std::vector<Word> AddressWords(std::string_view text, size_t* lines) {
    std::vector<Word> words;
    size_t line = 0;
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '\n' || c == ',') {
            ++line;
            ++i;
        } else if (IsSpace(c)) {
            ++i;
        } else {
            size_t j = i;
            while (j < text.size() && !IsSpace(text[j]) && text[j] != ',') ++j;
            words.push_back({std::string(text.substr(i, j - i)), line});
            i = j;
        }
    }
    *lines = line + 1;
    return words;
}

bool HasDigit(std::string_view word) {
    for (char c : word)
        if (IsDigit(c)) return true;
    return false;
}

// "K1A" then "0B1": the two halves of a Canadian postal code.
bool CanadianHalves(std::string_view a, std::string_view b) {
    return a.size() == 3 && b.size() == 3 && IsLetter(a[0]) && IsDigit(a[1]) && IsLetter(a[2]) &&
           IsDigit(b[0]) && IsLetter(b[1]) && IsDigit(b[2]);
}

std::string Join(const std::vector<Word>& words, size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to; ++i) {
        if (!out.empty()) out += ' ';
        out += words[i].text;
    }
    return out;
}

std::string ExactState(std::string_view words) {
    for (const auto& row : kStates) {
        if (EqualsNoCase(words, row.abbreviation) || EqualsNoCase(words, row.name))
            return row.abbreviation;
        for (const char* spelling : row.spellings)
            if (spelling && EqualsNoCase(words, spelling)) return row.abbreviation;
    }
    return {};
}

// Words separated by white space; every run of white space splits.
std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsSpace(text[i])) ++i;
        size_t j = i;
        while (j < text.size() && !IsSpace(text[j])) ++j;
        if (j > i) out.push_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

std::string Digits(std::string_view text, size_t most) {
    // Collected from the end: a leading country code or extension digits in front fall off.
    std::string digits;
    for (size_t i = text.size(); i-- > 0 && digits.size() < most;)
        if (IsDigit(text[i])) digits.insert(digits.begin(), text[i]);
    return digits;
}

}  // namespace

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
    return text;
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = AsciiUpper(c);
    return out;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = AsciiLower(c);
    return out;
}

std::string Capitalised(std::string_view text) {
    std::string out(text);
    bool first = true;
    for (char& c : out) {
        c = first ? AsciiUpper(c) : AsciiLower(c);
        first = IsSpace(c);
    }
    return out;
}

std::string StateAbbreviation(std::string_view words) {
    std::string word(Trim(words));
    while (!word.empty() && word.back() == '.') word.pop_back();
    if (word.empty()) return {};
    std::string exact = ExactState(word);
    if (!exact.empty()) return exact;
    // A beginning of the full name ("Calif", "Penn", "Mass"): the first row wins.
    for (const auto& row : kStates) {
        std::string_view name = row.name;
        if (word.size() >= 2 && word.size() <= name.size() &&
            EqualsNoCase(name.substr(0, word.size()), word))
            return row.abbreviation;
    }
    return {};
}

Address ReadAddress(std::string_view text) {
    Address address;
    size_t lines = 0;
    std::vector<Word> words = AddressWords(text, &lines);
    size_t n = words.size();
    size_t postal = n;  // first word of the postal code; n when there is none
    for (size_t i = n; i-- > 0;) {
        if (HasDigit(words[i].text)) {
            postal = i;
            break;
        }
    }
    if (postal < n) {
        address.postalCode = words[postal].text;
        if (postal > 0 && words[postal - 1].line == words[postal].line &&
            CanadianHalves(words[postal - 1].text, words[postal].text)) {
            --postal;
            address.postalCode = words[postal].text + " " + address.postalCode;
        }
    }
    // The state: the most words before the postal code, on one line, that the table knows
    // ("Prince Edward Island"); else the one word before it as written.
    size_t stateFrom = postal;
    if (postal > 0) {
        size_t last = postal - 1;
        for (size_t k = 3; k >= 1 && stateFrom == postal; --k) {
            if (k > postal) continue;
            size_t from = postal - k;
            if (words[from].line != words[last].line) continue;
            std::string joined = Join(words, from, postal);
            while (!joined.empty() && joined.back() == '.') joined.pop_back();
            std::string abbreviation = k == 1 ? StateAbbreviation(joined) : ExactState(joined);
            if (!abbreviation.empty()) {
                address.state = abbreviation;
                stateFrom = from;
            }
        }
        if (stateFrom == postal) {
            address.state = words[last].text;
            stateFrom = last;
        }
    }
    // The city: what precedes the state on its line, or the whole line before.
    size_t cityLine = stateFrom < n ? words[stateFrom].line : lines;
    size_t cityFrom = stateFrom;
    while (cityFrom > 0 && words[cityFrom - 1].line == cityLine) --cityFrom;
    if (cityFrom == stateFrom && cityFrom > 0) {
        cityLine = words[cityFrom - 1].line;
        while (cityFrom > 0 && words[cityFrom - 1].line == cityLine) --cityFrom;
    }
    size_t cityTo = cityFrom;
    while (cityTo < stateFrom && words[cityTo].line == cityLine) ++cityTo;
    address.city = Capitalised(Join(words, cityFrom, cityTo));
    // Every line before the city's is a street line.
    std::string street;
    for (size_t i = 0; i < cityFrom; ++i) {
        if (i > 0) street += words[i].line == words[i - 1].line ? " " : "\n";
        street += words[i].text;
    }
    address.street = Capitalised(street);
    return address;
}

PersonName ReadName(std::string_view text) {
    PersonName name;
    size_t comma = text.find(',', 1);
    std::vector<std::string_view> words;
    if (comma != std::string_view::npos) {
        name.last = Capitalised(Trim(text.substr(0, comma)));
        words = Words(text.substr(comma + 1));
        if (!words.empty()) name.first = Capitalised(words[0]);
        for (size_t i = 1; i < words.size(); ++i) {
            if (i > 1) name.middle += ' ';
            name.middle += Capitalised(words[i]);
        }
        return name;
    }
    words = Words(text);
    if (words.empty()) return name;
    name.first = Capitalised(words.front());
    if (words.size() > 1) name.last = Capitalised(words.back());
    for (size_t i = 1; i + 1 < words.size(); ++i) {
        if (i > 1) name.middle += ' ';
        name.middle += Capitalised(words[i]);
    }
    return name;
}

std::string Telephone(std::string_view text) {
    std::string d = Digits(text, 10);
    if (d.size() == 10) return d.substr(0, 3) + " " + d.substr(3, 3) + "-" + d.substr(6, 4);
    if (d.size() == 7) return d.substr(0, 3) + "-" + d.substr(3, 4);
    return {};
}

std::string AreaCode(std::string_view text) {
    std::string d = Digits(text, 10);
    return d.size() == 10 ? d.substr(0, 3) : std::string();
}

std::string EmailAddress(std::string_view text) {
    std::string plain(text);
    for (char& c : plain)
        if (c == '<' || c == '>') c = ' ';
    std::string out;
    for (std::string_view word : Words(plain)) {
        if (word.find('@') != std::string_view::npos) return out + "<" + Lower(word) + ">";
        out += word;
        out += ' ';
    }
    return {};
}

std::string CompareKey(std::string_view text) {
    static constexpr std::string_view kRemoved[] = {", ",
                                                    ";",
                                                    ". ",
                                                    ",",
                                                    ".",
                                                    "(",
                                                    ")",
                                                    "!",
                                                    " limited",
                                                    " ltd ",
                                                    " corporation",
                                                    " corp ",
                                                    " company",
                                                    " co ",
                                                    " incoporated",
                                                    " inc ",
                                                    " mrs ",
                                                    " ms ",
                                                    " miss ",
                                                    " mr ",
                                                    "  "};
    std::string key = Lower(" " + std::string(text) + " ");
    for (std::string_view removed : kRemoved) {
        // Every occurrence becomes one blank until none is left. Built as a stack: after
        // each byte the tail is checked, so a blank put in can join what follows, and the
        // work stays linear however the pieces nest.
        std::string out;
        out.reserve(key.size());
        bool changed = false;
        for (char c : key) {
            out += c;
            while (out.size() >= removed.size() &&
                   std::string_view(out).substr(out.size() - removed.size()) == removed) {
                out.resize(out.size() - removed.size());
                out += ' ';
                changed = true;
            }
        }
        if (changed) key = std::move(out);
    }
    return std::string(Trim(key));
}

std::string FormatValue(std::string_view text, int code) {
    switch (code) {
        case kFormatCity:
            return ReadAddress(text).city;
        case kFormatState:
            return ReadAddress(text).state;
        case kFormatStreet:
            return ReadAddress(text).street;
        case kFormatPostalCode:
            return ReadAddress(text).postalCode;
        case kFormatFirstName:
            return ReadName(text).first;
        case kFormatMiddleName:
            return ReadName(text).middle;
        case kFormatLastName:
            return ReadName(text).last;
        case kFormatPhone:
            return Telephone(text);
        case kFormatAreaCode:
            return AreaCode(text);
        case kFormatUpper:
            return Upper(text);
        case kFormatCapitalised:
            return Capitalised(text);
        case kFormatLower:
            return Lower(text);
        case kFormatEmail:
            return EmailAddress(text);
        case kFormatCompareKey:
            return CompareKey(text);
        default:
            return {};
    }
}

}  // namespace script
