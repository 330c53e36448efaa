#include "cli/CardInfoOutput.h"

#include <cstdio>

namespace quillon::cli {

namespace {

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0.
std::size_t utf8Length(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned long value = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF)
    length = 2, value = lead & 0x1F;
  else if (lead >= 0xE0 && lead <= 0xEF)
    length = 3, value = lead & 0x0F;
  else if (lead >= 0xF0 && lead <= 0xF4)
    length = 4, value = lead & 0x07;
  else
    return 0;
  if (s.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = value << 6 | (byte(i) & 0x3F);
  }
  const bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
  const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
  return overlong || surrogate || value > 0x10FFFF ? 0 : length;
}

void writeContainers(std::ostream& out, const cardops::CardInfo& card) {
  out << "[";
  for (std::size_t i = 0; i < card.containers.size(); ++i) {
    const cardops::KeyContainer& c = card.containers[i];
    out << (i ? ", " : "") << "{\"name\": " << jsonString(c.name) << ", \"valid\": " << (c.valid ? "true" : "false")
        << ", \"default\": " << (c.isDefault ? "true" : "false") << ", \"signatureBits\": " << c.signatureBits
        << ", \"keyExchangeBits\": " << c.keyExchangeBits << "}";
  }
  out << "]";
}

void writeCertificates(std::ostream& out, const cardops::CardInfo& card) {
  out << "[";
  for (std::size_t i = 0; i < card.certificates.size(); ++i) {
    const cardops::Certificate& c = card.certificates[i];
    out << (i ? ", " : "") << "{\"file\": " << jsonString(c.file) << ", \"subject\": " << jsonString(c.subject)
        << ", \"issuer\": " << jsonString(c.issuer) << ", \"notBefore\": " << jsonString(c.notBefore)
        << ", \"notAfter\": " << jsonString(c.notAfter) << ", \"keyBits\": " << c.keyBits << "}";
  }
  out << "]";
}

}  // namespace

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text[0]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else if (const std::size_t length = utf8Length(text); length == 0) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(text.substr(0, length));
      text.remove_prefix(length - 1);
    }
    text.remove_prefix(1);
  }
  return out + "\"";
}

void writeInfoJson(std::ostream& out, const InfoReport& report) {
  const cardops::CardInfo* card = report.card;
  out << "{\n  \"reader\": " << (report.reader.empty() ? "null" : jsonString(report.reader))
      << ",\n  \"cardPresent\": " << (report.cardPresent ? "true" : "false");
  if (card == nullptr) {
    out << ",\n  \"serial\": null,\n  \"pinTriesLeft\": null,\n  \"pinBlocked\": null,\n"
           "  \"initialisationPhase\": null,\n  \"containers\": null,\n  \"certificates\": null\n}\n";
    return;
  }
  out << ",\n  \"serial\": " << (card->serial.empty() ? "null" : jsonString(card->serial)) << ",\n  \"pinTriesLeft\": ";
  if (card->pinTriesLeft < 0)
    out << "null";
  else
    out << card->pinTriesLeft;
  out << ",\n  \"pinBlocked\": " << (card->pinBlocked ? "true" : "false")
      << ",\n  \"initialisationPhase\": " << (card->initialisationPhase ? "true" : "false") << ",\n  \"containers\": ";
  writeContainers(out, *card);
  out << ",\n  \"certificates\": ";
  writeCertificates(out, *card);
  out << "\n}\n";
}

void writeInfoText(std::ostream& out, const InfoReport& report) {
  if (!report.reader.empty()) out << "Reader:          " << report.reader << "\n";
  out << "Card:            " << (report.cardPresent ? "present" : "none") << "\n";
  const cardops::CardInfo* card = report.card;
  if (card == nullptr) return;
  out << "Serial number:   " << (card->serial.empty() ? "(none)" : card->serial) << "\n";
  out << "PIN:             ";
  if (card->pinBlocked)
    out << "blocked\n";
  else if (card->pinTriesLeft >= 0)
    out << card->pinTriesLeft << (card->pinTriesLeft == 1 ? " try left\n" : " tries left\n");
  else
    out << "(tries left unknown)\n";
  out << "Phase:           " << (card->initialisationPhase ? "initialisation (not personalised yet)" : "operational")
      << "\n";
  out << "Key containers:  " << card->containers.size() << "\n";
  for (const cardops::KeyContainer& c : card->containers) {
    out << "  " << (c.name.empty() ? "(no name)" : c.name) << (c.valid ? "" : " (not valid)")
        << (c.isDefault ? " (default)" : "");
    if (c.signatureBits != 0) out << ", signature key " << c.signatureBits << " bits";
    if (c.keyExchangeBits != 0) out << ", key exchange key " << c.keyExchangeBits << " bits";
    out << "\n";
  }
  out << "Certificates:    " << card->certificates.size() << "\n";
  for (const cardops::Certificate& c : card->certificates) {
    out << "  " << c.file << ": " << c.subject << "\n"
        << "      issuer " << c.issuer << "\n"
        << "      valid from " << c.notBefore << " until " << c.notAfter << "; " << c.keyBits << "-bit key\n";
  }
}

}  // namespace quillon::cli
