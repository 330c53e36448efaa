// Saving and loading the container of a personalised card holding two RSA-2048
// keys, against the floor its parts stand on, measured in the same run:
// - save: libxml2 writing the same document (its elements and attribute texts
//   prepared beforehand), zlib raw deflate of it, AES-256-GCM of that,
//   SHA-256 of the document, and the sealed bytes written to a new file that is
//   flushed and renamed over the old one (the least a crash-safe save does). An unchanged save should cost well under
//   that floor (one serialisation and one hash); a changed one not much more.
// - load: the reverse: reading the file, AES-256-GCM decryption, raw inflate,
//   libxml2 reading every node and attribute of the document, and SHA-256 of
//   it (a load keeps the hash that lets the next save see an unchanged card).
// The container lives on tmpfs (/dev/shm, or the temp dir without it) so that
// the disk does not dominate. BM_PersistPart* time each part alone.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlwriter.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/Hex.h"
#include "container/AtomicFile.h"
#include "container/CabinetCodec.h"
#include "container/FilePersist.h"
#include "gids/GidsApplet.h"
#include "gids/GidsAppletInstaller.h"
#include "gids/GidsPINManager.h"
#include "personalise/CreateSecureContainer.h"

namespace {

using namespace quillon;
using Bytes = std::vector<std::uint8_t>;

// After the personalisation script: two key files with a generated RSA-2048 key
// each (the PIN opens them).
constexpr const char* kKeyFiles[] = {
    "002000800431323334",
    "00E000002B6229820118"
    "8302B081"
    "8C058F10101010A519B803800107B803800187B803800147B603800117B603800157",
    "0044000000",
    "0047000008AC06800107830181",
    "00E000002B6229820118"
    "8302B082"
    "8C058F10101010A519B803800107B803800187B803800147B603800117B603800157",
    "0044000000",
    "0047000008AC06800107830182",
};

std::uint16_t send(IJCRuntime& runtime, const std::string& text) {
  Bytes command;
  if (!hex::decode(text, command)) std::abort();
  std::uint8_t response[600];
  std::uint32_t length = sizeof response;
  if (runtime.transmit(command.data(), static_cast<std::uint32_t>(command.size()), response, length) != 0 || length < 2)
    std::abort();
  return static_cast<std::uint16_t>(response[length - 2] << 8 | response[length - 1]);
}

// One start element of the document with its attributes, or the end of one.
struct Node {
  bool end = false;
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
};

// Everything both sides of the benchmark share, made once.
struct Setup {
  std::filesystem::path drive;
  JCRuntimeImpl card;
  GidsApplet* applet = nullptr;
  GidsAppletInstaller installer;
  std::string xml;
  std::vector<Node> nodes;
  std::uint8_t key[32] = {};

  Setup() {
    const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : nullptr;
    std::string pattern =
        (base ? std::string(base) : std::filesystem::temp_directory_path().string()) + "/quillon-persist-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    drive = pattern;

    applet = GidsApplet::install(card);
    const std::uint8_t adminKey[24] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                       13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    std::vector<std::string> commands;
    for (const ScriptCommand& c : personalisationScript("1234", adminKey, "00112233445566778899AABBCCDDEEFF"))
      commands.emplace_back(c.c_str());
    commands.insert(commands.end(), std::begin(kKeyFiles), std::end(kKeyFiles));
    for (const std::string& command : commands) {
      std::uint16_t sw = send(card, command);
      while ((sw & 0xFF00) == 0x6100) sw = send(card, "00C0000000");
      if (sw != 0x9000) std::abort();
    }
    const auto document = FilePersist::snapshotHeap(card);
    if (!document) std::abort();
    xml.assign(document->begin(), document->end());
    nodes = parse(xml);
    RAND_bytes(key, sizeof key);
  }
  ~Setup() {
    std::error_code ignored;
    std::filesystem::remove_all(drive, ignored);
  }

  FilePersist persist() const { return FilePersist({"Brindle", "Flash Disk", "1.00", "BENCH0001"}, drive.string()); }

  static std::vector<Node> parse(const std::string& text) {
    std::vector<Node> out;
    std::unique_ptr<xmlTextReader, void (*)(xmlTextReaderPtr)> reader(
        xmlReaderForMemory(text.data(), static_cast<int>(text.size()), nullptr, "UTF-8", XML_PARSE_NONET),
        xmlFreeTextReader);
    while (xmlTextReaderRead(reader.get()) == 1) {
      const int type = xmlTextReaderNodeType(reader.get());
      if (type == XML_READER_TYPE_END_ELEMENT) {
        out.push_back({true, {}, {}});
      } else if (type == XML_READER_TYPE_ELEMENT) {
        Node node;
        node.name = reinterpret_cast<const char*>(xmlTextReaderConstLocalName(reader.get()));
        const bool empty = xmlTextReaderIsEmptyElement(reader.get()) == 1;
        while (xmlTextReaderMoveToNextAttribute(reader.get()) == 1)
          node.attributes.emplace_back(reinterpret_cast<const char*>(xmlTextReaderConstLocalName(reader.get())),
                                       reinterpret_cast<const char*>(xmlTextReaderConstValue(reader.get())));
        out.push_back(std::move(node));
        if (empty) out.push_back({true, {}, {}});
      }
    }
    return out;
  }
};

Setup& setup() {
  static Setup s;
  return s;
}

// libxml2 writing the document from its prepared nodes, as the archive writes it.
std::string writeDocument(const std::vector<Node>& nodes) {
  xmlBufferPtr buffer = xmlBufferCreateSize(16384);
  xmlTextWriterPtr writer = xmlNewTextWriterMemory(buffer, 0);
  xmlTextWriterSetIndent(writer, 1);
  xmlTextWriterSetIndentString(writer, reinterpret_cast<const xmlChar*>("  "));
  xmlTextWriterStartDocument(writer, nullptr, "UTF-8", nullptr);
  for (const Node& node : nodes) {
    if (node.end) {
      xmlTextWriterEndElement(writer);
      continue;
    }
    xmlTextWriterStartElement(writer, reinterpret_cast<const xmlChar*>(node.name.c_str()));
    for (const auto& [name, value] : node.attributes)
      xmlTextWriterWriteAttribute(writer, reinterpret_cast<const xmlChar*>(name.c_str()),
                                  reinterpret_cast<const xmlChar*>(value.c_str()));
  }
  xmlTextWriterEndDocument(writer);
  xmlFreeTextWriter(writer);
  std::string out(reinterpret_cast<const char*>(xmlBufferContent(buffer)), xmlBufferLength(buffer));
  xmlBufferFree(buffer);
  return out;
}

// libxml2 reading every node and attribute of a document; returns the bytes of
// attribute text seen.
std::size_t readDocument(const char* text, std::size_t size) {
  std::unique_ptr<xmlTextReader, void (*)(xmlTextReaderPtr)> reader(
      xmlReaderForMemory(text, static_cast<int>(size), nullptr, "UTF-8", XML_PARSE_NONET), xmlFreeTextReader);
  std::size_t seen = 0;
  while (xmlTextReaderRead(reader.get()) == 1) {
    if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT) continue;
    while (xmlTextReaderMoveToNextAttribute(reader.get()) == 1) {
      seen += static_cast<std::size_t>(xmlStrlen(xmlTextReaderConstLocalName(reader.get())));
      seen += static_cast<std::size_t>(xmlStrlen(xmlTextReaderConstValue(reader.get())));
    }
  }
  return seen;
}

// One zlib stream per direction for the whole run, reset before each use: the
// card keeps one per direction too, so that floor and measure allocate alike
// (a fresh stream is 300 KB of new pages, whose cost swings from run to run).
z_stream& deflater() {
  static z_stream z = [] {
    z_stream s{};
    if (deflateInit2(&s, 6, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
    return s;
  }();
  return z;
}

z_stream& inflater() {
  static z_stream z = [] {
    z_stream s{};
    if (inflateInit2(&s, -15) != Z_OK) std::abort();
    return s;
  }();
  return z;
}

Bytes deflateRaw(const std::uint8_t* data, std::size_t size) {
  z_stream& z = deflater();
  if (deflateReset(&z) != Z_OK) std::abort();
  Bytes out(deflateBound(&z, size));
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(out.size() - z.avail_out);
  return out;
}

Bytes inflateRaw(const Bytes& data, std::size_t size) {
  z_stream& z = inflater();
  if (inflateReset(&z) != Z_OK) std::abort();
  Bytes out(size);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (inflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
  return out;
}

// 12-byte nonce, ciphertext, 16-byte tag.
Bytes sealGcm(const std::uint8_t* key, const Bytes& plain) {
  Bytes out(plain.size() + 28);
  RAND_bytes(out.data(), 12);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_EncryptInit_ex2(ctx, EVP_aes_256_gcm(), key, out.data(), nullptr);
  EVP_EncryptUpdate(ctx, out.data() + 12, &n, plain.data(), static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + 12 + n, &n);
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + out.size() - 16);
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

Bytes openGcm(const std::uint8_t* key, const Bytes& sealed) {
  const std::size_t size = sealed.size() - 28;
  Bytes out(size);
  Bytes tag(sealed.end() - 16, sealed.end());
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_DecryptInit_ex2(ctx, EVP_aes_256_gcm(), key, sealed.data(), nullptr);
  EVP_DecryptUpdate(ctx, out.data(), &n, sealed.data() + 12, static_cast<int>(size));
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag.data());
  if (EVP_DecryptFinal_ex(ctx, out.data() + n, &n) != 1) std::abort();
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

// The least a crash-safe writer does to replace a file: a new file written and
// flushed, renamed over the old one, and the directory flushed.
void replaceFloor(const std::filesystem::path& drive, const Bytes& bytes) {
  const std::string target = (drive / "floor.bin").string();
  const std::string temporary = target + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || ::fsync(fd) != 0)
    std::abort();
  ::close(fd);
  if (::rename(temporary.c_str(), target.c_str()) != 0) std::abort();
  const int dir = ::open(drive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) std::abort();
  ::fsync(dir);
  ::close(dir);
}

void BM_PersistSaveUnchanged(benchmark::State& state) {
  Setup& s = setup();
  FilePersist persist = s.persist();
  if (persist.save(s.card) != 0) state.SkipWithError("first save");
  for (auto _ : state) benchmark::DoNotOptimize(persist.save(s.card));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.xml.size()));
}
BENCHMARK(BM_PersistSaveUnchanged);

void BM_PersistSaveChanged(benchmark::State& state) {
  Setup& s = setup();
  FilePersist persist = s.persist();
  GidsPIN& pin = *s.applet->pins().pin;
  for (auto _ : state) {
    pin.triesRemaining_ = pin.triesRemaining_ == 3 ? 2 : 3;  // a different document every time
    if (persist.save(s.card) != 0) state.SkipWithError("save");
  }
  pin.triesRemaining_ = 3;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.xml.size()));
}
BENCHMARK(BM_PersistSaveChanged);

void saveFloor(benchmark::State& state) {
  Setup& s = setup();
  if (writeDocument(s.nodes) != s.xml) state.SkipWithError("the floor does not write the same document");
  for (auto _ : state) {
    const std::string document = writeDocument(s.nodes);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(document.data());
    std::uint8_t digest[32];
    EVP_Digest(bytes, document.size(), digest, nullptr, EVP_sha256(), nullptr);
    const Bytes sealed = sealGcm(s.key, deflateRaw(bytes, document.size()));
    replaceFloor(s.drive, sealed);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.xml.size()));
}
void BM_PersistSaveUnchanged_Baseline(benchmark::State& state) { saveFloor(state); }
void BM_PersistSaveChanged_Baseline(benchmark::State& state) { saveFloor(state); }
BENCHMARK(BM_PersistSaveUnchanged_Baseline);
BENCHMARK(BM_PersistSaveChanged_Baseline);

void BM_PersistLoad(benchmark::State& state) {
  Setup& s = setup();
  FilePersist writer = s.persist();
  if (writer.save(s.card) != 0) state.SkipWithError("save");
  const std::string path = writer.path();
  FilePersist persist = s.persist();
  JCRuntimeImpl runtime;
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (persist.loadInto(runtime, s.installer, fd) != 0) state.SkipWithError("load");
    ::close(fd);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.xml.size()));
}
BENCHMARK(BM_PersistLoad);

// The least a load does to read a file: open it, ask its size, read it whole.
Bytes readFloor(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) std::abort();
  Bytes bytes(static_cast<std::size_t>(info.st_size));
  if (::pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) std::abort();
  ::close(fd);
  return bytes;
}

void BM_PersistLoad_Baseline(benchmark::State& state) {
  Setup& s = setup();
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.xml.data());
  const std::string path = (s.drive / "floor-load.bin").string();
  replaceFloor(s.drive, sealGcm(s.key, deflateRaw(bytes, s.xml.size())));
  std::filesystem::rename(s.drive / "floor.bin", path);
  for (auto _ : state) {
    const Bytes document = inflateRaw(openGcm(s.key, readFloor(path)), s.xml.size());
    benchmark::DoNotOptimize(readDocument(reinterpret_cast<const char*>(document.data()), document.size()));
    std::uint8_t digest[32];
    EVP_Digest(document.data(), document.size(), digest, nullptr, EVP_sha256(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.xml.size()));
}
BENCHMARK(BM_PersistLoad_Baseline);

// What persistence adds to a command that changes nothing (SELECT, then the PIN
// status), on a card loaded from its container with FilePersist as its
// provider, against the same card loaded without a provider: the difference is
// the persistence path's overhead per command (goal: at most 5 us).
void unchangedCommands(benchmark::State& state, IJCRuntime& runtime) {
  for (auto _ : state) {
    if (send(runtime, "00A4000C023FFF") != 0x9000 || send(runtime, "00CB3FFF045C027F71") != 0x9000)
      state.SkipWithError("command");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 2));
}

void BM_PersistUnchangedCommands(benchmark::State& state) {
  Setup& s = setup();
  FilePersist writer = s.persist();
  if (writer.save(s.card) != 0) state.SkipWithError("save");
  FilePersist persist = s.persist();
  const std::unique_ptr<JCRuntimeImpl> runtime = persist.createRuntime(s.installer);
  if (persist.refusesSaving() || runtime->getApplet() == nullptr) state.SkipWithError("load");
  unchangedCommands(state, *runtime);
}
BENCHMARK(BM_PersistUnchangedCommands);

void BM_PersistUnchangedCommands_Baseline(benchmark::State& state) {
  Setup& s = setup();
  JCRuntimeImpl runtime;
  if (FilePersist::restoreHeap({reinterpret_cast<const std::uint8_t*>(s.xml.data()), s.xml.size()}, runtime,
                               s.installer) != 0)
    state.SkipWithError("restore");
  unchangedCommands(state, runtime);
}
BENCHMARK(BM_PersistUnchangedCommands_Baseline);

// Where the time goes: each part of a save or a load alone, and the floor's
// parts alone (no _Baseline pairs; read them next to the pairs above).
void BM_PersistPartSnapshot(benchmark::State& state) {
  Setup& s = setup();
  for (auto _ : state) benchmark::DoNotOptimize(FilePersist::snapshotHeap(s.card));
}
BENCHMARK(BM_PersistPartSnapshot);

void BM_PersistPartCompress(benchmark::State& state) {
  Setup& s = setup();
  for (auto _ : state) {
    ossl::SecureBytes out;
    container::CabinetCompress(reinterpret_cast<const std::uint8_t*>(s.xml.data()), s.xml.size(), out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_PersistPartCompress);

void BM_PersistPartReplaceFile(benchmark::State& state) {
  Setup& s = setup();
  const std::string path = (s.drive / "part.bin").string();
  const Bytes data(4096, 0x42);
  for (auto _ : state)
    if (!container::ReplaceFileAtomically(path, data).ok()) state.SkipWithError("replace");
}
BENCHMARK(BM_PersistPartReplaceFile);

void BM_PersistPartFileRead(benchmark::State& state) {
  Setup& s = setup();
  FilePersist writer = s.persist();
  if (writer.save(s.card) != 0) state.SkipWithError("save");
  for (auto _ : state) {
    const int fd = ::open(writer.path().c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    ::fstat(fd, &info);
    ossl::SecureBytes buffer(static_cast<std::size_t>(info.st_size));
    benchmark::DoNotOptimize(::pread(fd, buffer.data(), buffer.size(), 0));
    ::close(fd);
  }
}
BENCHMARK(BM_PersistPartFileRead);

void BM_PersistPartDecompress(benchmark::State& state) {
  Setup& s = setup();
  ossl::SecureBytes compressed;
  container::CabinetCompress(reinterpret_cast<const std::uint8_t*>(s.xml.data()), s.xml.size(), compressed);
  for (auto _ : state) {
    ossl::SecureBytes out;
    container::CabinetDecompress(compressed.data(), compressed.size(), out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_PersistPartDecompress);

void BM_PersistPartRestoreHeap(benchmark::State& state) {
  Setup& s = setup();
  JCRuntimeImpl runtime;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.xml.data());
  for (auto _ : state)
    if (FilePersist::restoreHeap({bytes, s.xml.size()}, runtime, s.installer) != 0) state.SkipWithError("restore");
}
BENCHMARK(BM_PersistPartRestoreHeap);

void BM_PersistPartWriteXml(benchmark::State& state) {
  Setup& s = setup();
  for (auto _ : state) benchmark::DoNotOptimize(writeDocument(s.nodes));
}
BENCHMARK(BM_PersistPartWriteXml);

void BM_PersistPartDeflateRaw(benchmark::State& state) {
  Setup& s = setup();
  for (auto _ : state)
    benchmark::DoNotOptimize(deflateRaw(reinterpret_cast<const std::uint8_t*>(s.xml.data()), s.xml.size()));
}
BENCHMARK(BM_PersistPartDeflateRaw);

void BM_PersistPartInflateRaw(benchmark::State& state) {
  Setup& s = setup();
  const Bytes packed = deflateRaw(reinterpret_cast<const std::uint8_t*>(s.xml.data()), s.xml.size());
  for (auto _ : state) benchmark::DoNotOptimize(inflateRaw(packed, s.xml.size()));
}
BENCHMARK(BM_PersistPartInflateRaw);

void BM_PersistPartReadXml(benchmark::State& state) {
  Setup& s = setup();
  for (auto _ : state) benchmark::DoNotOptimize(readDocument(s.xml.data(), s.xml.size()));
}
BENCHMARK(BM_PersistPartReadXml);

}  // namespace
