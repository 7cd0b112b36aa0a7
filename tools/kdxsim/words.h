// Scenario lines as words: comments, quoted strings, and the checks every command makes of
// its words.
#pragma once

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace kdxsim {

using Words = std::vector<std::string>;

std::string Trim(const std::string& text);

// The line without its comment: from the first '#' outside a quoted string.
std::string StripComment(const std::string& line);

// Words separated by blanks; a quoted string ("a b\"c") is one word, quotes included. Throws
// ScenarioError for a string without its closing quote.
Words SplitWords(const std::string& line);

// Throws ScenarioError("usage: ...") unless `condition` holds.
void Require(bool condition, const char* usage);

// The KEY=VALUE words from words[from] on, each key one of `keys` and given at most once;
// throws ScenarioError("usage: ...") otherwise.
std::map<std::string, std::string> KeyValues(const Words& words, size_t from,
                                             std::initializer_list<const char*> keys,
                                             const char* usage);

// A name the scenario gives to a device, a handle or a request: letters, digits, _ - .
void CheckName(const std::string& name, const char* what);

}  // namespace kdxsim
