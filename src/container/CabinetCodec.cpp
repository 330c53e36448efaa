#include "container/CabinetCodec.h"

#include <new>

#include "base/Status.h"
#include "base/Trace.h"
#include "container/MszipDecoder.h"
#include "container/MszipEncoder.h"

namespace quillon::container {

namespace {

constexpr std::uint32_t kCorruptBuffer = status::hresultFromWin32(status::ERROR_BAD_COMPRESSION_BUFFER);

std::uint32_t hresultOf(mszip::Error error) noexcept {
  switch (error) {
    case mszip::Error::kNone: return status::S_OK;
    case mszip::Error::kOutOfMemory: return status::E_OUTOFMEMORY;
    case mszip::Error::kZlibFailure:
    case mszip::Error::kOutputSize: return status::E_FAIL;
    default: return kCorruptBuffer;
  }
}

std::uint32_t hresultOfInit(int zlibResult) noexcept {
  return zlibResult == Z_MEM_ERROR ? status::E_OUTOFMEMORY : status::E_FAIL;
}

// Empties a buffer that may hold plaintext, wiping what it held.
void discard(ossl::SecureBytes& buffer) noexcept {
  OPENSSL_cleanse(buffer.data(), buffer.size());
  buffer.clear();
}

}  // namespace

std::uint32_t CabinetCompress(const std::uint8_t* data, std::size_t size, ossl::SecureBytes& out) {
  MszipEncoder encoder;
  return CabinetCompress(encoder, data, size, out);
}

std::uint32_t CabinetCompress(MszipEncoder& encoder, const std::uint8_t* data, std::size_t size,
                              ossl::SecureBytes& out) {
  constexpr const char* kFunction = "CabinetCompress";
  discard(out);
  if (encoder.initResult() != Z_OK) {
    const std::uint32_t hr = hresultOfInit(encoder.initResult());
    QTRACE(trace::kError, kFunction, "CabinetCompress: CreateCompressor hr=0x%08X", hr);
    return hr;
  }
  const std::size_t bound = MszipEncoder::bound(size);
  if ((data == nullptr && size != 0) || bound == 0) {
    QTRACE(trace::kError, kFunction, "CabinetCompress: size query failed hr=0x%08X", status::E_INVALIDARG);
    return status::E_INVALIDARG;
  }
  try {
    out.resize(bound);
  } catch (const std::bad_alloc&) {
    QTRACE(trace::kError, kFunction, "CabinetCompress: HeapAlloc(%zu) failed", bound);
    discard(out);
    return status::E_OUTOFMEMORY;
  }
  std::size_t written = 0;
  const mszip::Error e = encoder.encode(data, size, out.data(), out.size(), written);
  encoder.wipe();
  if (e != mszip::Error::kNone) {
    const std::uint32_t hr = hresultOf(e);
    QTRACE(trace::kError, kFunction, "CabinetCompress: Compress failed hr=0x%08X", hr);
    discard(out);
    return hr;
  }
  out.resize(written);
  QTRACE(trace::kVerbose, kFunction, "CabinetCompress: %zu -> %zu bytes", size, written);
  return status::S_OK;
}

std::uint32_t CabinetDecompress(const std::uint8_t* data, std::size_t size, ossl::SecureBytes& out) {
  MszipDecoder decoder;
  return CabinetDecompress(decoder, data, size, out);
}

std::uint32_t CabinetDecompress(MszipDecoder& decoder, const std::uint8_t* data, std::size_t size,
                                ossl::SecureBytes& out) {
  constexpr const char* kFunction = "CabinetDecompress";
  discard(out);
  if (decoder.initResult() != Z_OK) {
    const std::uint32_t hr = hresultOfInit(decoder.initResult());
    QTRACE(trace::kError, kFunction, "CabinetDecompress: CreateDecompressor hr=0x%08X", hr);
    return hr;
  }
  std::uint64_t total = 0;
  if (const mszip::Error e = mszip::readHeader(data, size, total); e != mszip::Error::kNone) {
    const std::uint32_t hr = data == nullptr ? status::E_INVALIDARG : hresultOf(e);
    QTRACE(trace::kError, kFunction, "CabinetDecompress: size query failed hr=0x%08X", hr);
    QTRACE(trace::kError, kFunction, "CabinetDecompress: %s", mszip::describe(e));
    return hr;
  }
  // The total comes from the buffer: cap it before it sizes anything.
  if (total > kDecompressedCap) {
    QTRACE(trace::kError, kFunction, "CabinetDecompress: decompressed size %zu exceeds cap %lu",
           static_cast<std::size_t>(total), static_cast<unsigned long>(kDecompressedCap));
    return status::HRESULT_FILE_TOO_LARGE;
  }
  const auto expected = static_cast<std::size_t>(total);
  try {
    out.resize(expected);
  } catch (const std::bad_alloc&) {
    QTRACE(trace::kError, kFunction, "CabinetDecompress: HeapAlloc(%zu) failed", expected);
    discard(out);
    return status::E_OUTOFMEMORY;
  }
  const mszip::Error e = decoder.decode(data, size, out.data(), expected);
  decoder.wipe();
  if (e != mszip::Error::kNone) {
    const std::uint32_t hr = hresultOf(e);
    QTRACE(trace::kError, kFunction, "CabinetDecompress: Decompress failed hr=0x%08X", hr);
    QTRACE(trace::kError, kFunction, "CabinetDecompress: %s", mszip::describe(e));
    discard(out);
    return hr;
  }
  QTRACE(trace::kVerbose, kFunction, "CabinetDecompress: -> %zu bytes", expected);
  return status::S_OK;
}

}  // namespace quillon::container
