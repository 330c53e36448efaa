#include "reader/ReaderConfig.h"

namespace quillon::reader {

namespace {

constexpr std::string_view kMarker = "quillon";

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('\'');
  out.append(text);
  out.push_back('\'');
  return out;
}

bool setOnce(std::string& field, bool& seen, std::string_view key, std::string_view value, std::string& error) {
  if (seen) {
    error = quoted(key) + " given twice";
    return false;
  }
  if (value.empty() || value.front() != '/') {
    error = quoted(key) + " needs an absolute path";
    return false;
  }
  seen = true;
  field = value;
  return true;
}

bool parseItems(std::string_view text, ReaderConfig& config, std::string& error) {
  if (text.size() > ReaderConfig::kMaxLength) {
    error = "configuration longer than " + std::to_string(ReaderConfig::kMaxLength) + " characters";
    return false;
  }
  if (text.find('\0') != std::string_view::npos) {
    error = "configuration holds a NUL";
    return false;
  }
  if (!text.empty()) {
    if (text != kMarker && !text.starts_with(std::string(kMarker) + ":")) {
      error = "configuration does not start with " + quoted("quillon:");
      return false;
    }
    text.remove_prefix(kMarker.size());
  }
  bool seenState = false;
  bool seenProc = false;
  bool seenSys = false;
  while (!text.empty()) {
    const std::size_t end = text.find(':');
    const std::string_view item = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (item.empty()) continue;
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      error = "item " + quoted(item) + " is not KEY=VALUE";
      return false;
    }
    const std::string_view key = item.substr(0, eq);
    const std::string_view value = item.substr(eq + 1);
    bool ok = false;
    if (key == "state") {
      ok = setOnce(config.statePath, seenState, key, value, error);
    } else if (key == "proc") {
      ok = setOnce(config.procRoot, seenProc, key, value, error);
    } else if (key == "sys") {
      ok = setOnce(config.sysRoot, seenSys, key, value, error);
    } else {
      error = "unknown key " + quoted(key);
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool parseReaderConfig(std::string_view text, ReaderConfig& config, std::string& error) {
  error.clear();
  config = ReaderConfig();
  ReaderConfig parsed;
  if (!parseItems(text, parsed, error)) return false;
  config = std::move(parsed);
  return true;
}

}  // namespace quillon::reader
