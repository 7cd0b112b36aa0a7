// Scenario lines as words (see words.h).
#include "words.h"

#include <algorithm>
#include <cctype>

#include "device_options.h"

namespace kdxsim {

namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The index just past the quoted string that starts at line[at], or npos when it is not closed.
size_t SkipQuoted(const std::string& line, size_t at)
{
    for (size_t i = at + 1; i < line.size(); i++) {
        if (line[i] == '\\') {
            i++;
        } else if (line[i] == '"') {
            return i + 1;
        }
    }
    return std::string::npos;
}

}  // namespace

std::string Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string StripComment(const std::string& line)
{
    size_t at = 0;
    while (at < line.size()) {
        if (line[at] == '#') return line.substr(0, at);
        if (line[at] != '"') {
            at++;
            continue;
        }
        at = SkipQuoted(line, at);
        if (at == std::string::npos) break;  // the rest is the open string's
    }
    return line;
}

Words SplitWords(const std::string& line)
{
    Words words;
    size_t at = 0;
    while (at < line.size()) {
        if (Blank(line[at])) {
            at++;
            continue;
        }
        size_t start = at;
        while (at < line.size() && !Blank(line[at])) {
            if (line[at] != '"') {
                at++;
                continue;
            }
            at = SkipQuoted(line, at);
            if (at == std::string::npos) {
                throw ScenarioError("a string without its closing quote: " + line.substr(start));
            }
        }
        words.push_back(line.substr(start, at - start));
    }
    return words;
}

void Require(bool condition, const char* usage)
{
    if (!condition) throw ScenarioError(std::string("usage: ") + usage);
}

std::map<std::string, std::string> KeyValues(const Words& words, size_t from,
                                             std::initializer_list<const char*> keys,
                                             const char* usage)
{
    std::map<std::string, std::string> values;
    for (size_t i = from; i < words.size(); i++) {
        size_t equals = words[i].find('=');
        std::string key = words[i].substr(0, equals);
        bool known = std::any_of(keys.begin(), keys.end(), [&](const char* k) { return key == k; });
        Require(equals != std::string::npos && known && values.count(key) == 0, usage);
        values[key] = words[i].substr(equals + 1);
    }
    return values;
}

void CheckName(const std::string& name, const char* what)
{
    bool valid = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
    });
    if (!valid) {
        throw ScenarioError("\"" + name + "\" is not a " + what + " name (letters, digits, _ - .)");
    }
}

}  // namespace kdxsim
