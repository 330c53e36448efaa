#include "support/ApduSession.h"

#include <gtest/gtest.h>

#include <charconv>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include "gids/GidsApplet.h"
#include "runtime/JCRuntimeImpl.h"
#include "support/CardFixture.h"

namespace quillon::test {
namespace {

struct Line {
  int number;
  std::string text;
};

struct Session {
  std::string name;
  std::vector<Line> lines;
};

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::istringstream in{std::string(text)};
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

std::size_t number(std::string_view text) {
  std::size_t n = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  EXPECT_TRUE(error == std::errc() && end == text.data() + text.size()) << "bad count: " << text;
  return n;
}

// Whether the answer's hex is the expected data: "?N" is N bytes of anything, "?" as many as there are.
bool matches(const std::vector<std::string>& tokens, const std::string& data) {
  std::string pattern;
  for (const std::string& token : tokens)
    pattern += token == "?" ? "(..)*" : token[0] == '?' ? "(..){" + token.substr(1) + "}" : toHex(expandHex(token));
  return std::regex_match(data, std::regex(pattern));
}

std::vector<Session> readSessions(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << "cannot open " << path;
  std::vector<Session> sessions;
  int number = 0;
  for (std::string text; std::getline(in, text);) {
    ++number;
    const auto start = text.find_first_not_of(" \t\r");
    if (start == std::string::npos || text[start] == '#') continue;
    text = text.substr(start, text.find_last_not_of(" \t\r") + 1 - start);
    if (text.rfind("==", 0) == 0)
      sessions.push_back({text.substr(text.find_first_not_of("= ")), {}});
    else if (sessions.empty())
      ADD_FAILURE_AT(path.c_str(), number) << "an exchange before the first \"== name\"";
    else
      sessions.back().lines.push_back({number, text});
  }
  return sessions;
}

void runLines(IJCRuntime& runtime, const std::string& path, const Session& session) {
  for (const Line& line : session.lines) {
    if (line.text == "@personalise") {
      personaliseCard(runtime);
      continue;
    }
    const auto arrow = line.text.find("->");
    if (arrow == std::string::npos) {
      ADD_FAILURE_AT(path.c_str(), line.number) << "no \"->\" in: " << line.text;
      continue;
    }
    const bool follow = line.text.compare(arrow, 3, "->>") == 0;
    std::vector<std::string> expected = words(line.text.substr(arrow + (follow ? 3 : 2)));
    if (expected.empty() || expected.back().size() != 4) {
      ADD_FAILURE_AT(path.c_str(), line.number) << "no status word after the arrow: " << line.text;
      continue;
    }
    const std::string sw = expected.back();
    expected.pop_back();
    Response r = transmitHex(runtime, toHex(expandHex(line.text.substr(0, arrow))));
    if (follow) r = readAll(runtime, r);
    const std::string gotSw = toHex({static_cast<std::uint8_t>(r.sw >> 8), static_cast<std::uint8_t>(r.sw)});
    if (gotSw != toHex(expandHex(sw)) || !matches(expected, r.data))
      ADD_FAILURE_AT(path.c_str(), line.number) << "[" << session.name << "] " << line.text
                                                << "\n  answered: " << (r.data.empty() ? "" : r.data + " ") << gotSw;
  }
}

}  // namespace

Bytes expandHex(std::string_view text) {
  std::string hex;
  for (const std::string& word : words(text)) {
    const auto star = word.find('*');
    if (star == std::string::npos) {
      hex += word;
      continue;
    }
    EXPECT_EQ(star, 2u) << "a repeat is one byte: " << word;
    const std::string byte = word.substr(0, 2);
    for (std::size_t n = number(word.substr(star + 1)); n > 0; --n) hex += byte;
  }
  return fromHex(hex);
}

Response sendChained(IJCRuntime& runtime, const std::string& header, const Bytes& data, const std::string& le) {
  Response r;
  for (std::size_t at = 0; at < data.size() && (at == 0 || r.sw == 0x9000); at += 255) {
    const std::size_t n = std::min<std::size_t>(255, data.size() - at);
    const bool last = at + n == data.size();
    const Bytes piece(data.begin() + static_cast<std::ptrdiff_t>(at),
                      data.begin() + static_cast<std::ptrdiff_t>(at + n));
    r = transmitHex(runtime, (last ? "00" : "10") + header.substr(2) + toHex({static_cast<std::uint8_t>(n)}) +
                                 toHex(piece) + (last ? le : ""));
  }
  return readAll(runtime, r);
}

void runApduSession(IJCRuntime& runtime, const std::string& relative, const std::string& name) {
  const std::string path = dataPath(relative);
  for (const Session& session : readSessions(path))
    if (session.name == name) return runLines(runtime, path, session);
  ADD_FAILURE() << "no session \"" << name << "\" in " << path;
}

void runApduSessions(const std::string& relative) {
  const std::string path = dataPath(relative);
  const std::vector<Session> sessions = readSessions(path);
  EXPECT_FALSE(sessions.empty()) << path;
  for (const Session& session : sessions) {
    JCRuntimeImpl runtime;
    GidsApplet::install(runtime);
    runLines(runtime, path, session);
  }
}

}  // namespace quillon::test
