// Exceptions of the card runtime and the applet. ISOException, CryptoException and
// SystemException carry a 16-bit reason; the JavaCardRuntimeException family
// carries nothing, does not derive from std::exception, and serves the applet's
// own signalling. transmit() turns whatever escapes an applet into a status word.
#pragma once

#include <cstdint>
#include <exception>

namespace quillon {

class ISOException : public std::exception {
 public:
  explicit ISOException(std::uint16_t reason) noexcept : reason_(reason) {}
  const char* what() const noexcept override { return "ISOException"; }
  std::uint16_t getReason() const noexcept { return reason_; }
  [[noreturn]] static void throwIt(std::uint16_t reason) { throw ISOException(reason); }

 private:
  std::uint16_t reason_;
};

class CryptoException : public std::exception {
 public:
  static constexpr std::uint16_t ILLEGAL_VALUE = 1;
  static constexpr std::uint16_t NO_SUCH_ALGORITHM = 3;
  // The input's length does not suit the key or the padding.
  static constexpr std::uint16_t ILLEGAL_USE = 5;
  static constexpr std::uint16_t PLATFORM_ERROR = 6;

  explicit CryptoException(std::uint16_t reason) noexcept : reason_(reason) {}
  const char* what() const noexcept override { return "CryptoException"; }
  std::uint16_t getReason() const noexcept { return reason_; }
  [[noreturn]] static void throwIt(std::uint16_t reason) { throw CryptoException(reason); }

 private:
  std::uint16_t reason_;
};

class SystemException : public std::exception {
 public:
  static constexpr std::uint16_t INDEX_OUT_OF_BOUNDS = 0x6700;
  static constexpr std::uint16_t NO_RESOURCE = 1;

  explicit SystemException(std::uint16_t reason) noexcept : reason_(reason) {}
  const char* what() const noexcept override { return "SystemException"; }
  std::uint16_t getReason() const noexcept { return reason_; }
  [[noreturn]] static void throwIt(std::uint16_t reason) { throw SystemException(reason); }

 private:
  std::uint16_t reason_;
};

class JavaCardRuntimeException {};
class NotFoundException : public JavaCardRuntimeException {};
class InvalidArgumentsException : public JavaCardRuntimeException {};
class NotEnoughSpaceException : public JavaCardRuntimeException {};
class SerializationException : public JavaCardRuntimeException {};

// Throw helpers of the second family: each traces its class name at level 2 at the
// location it is given, then throws.
[[noreturn]] void throwNotFound(const char* file, int line, const char* function);
[[noreturn]] void throwInvalidArguments(const char* file, int line, const char* function);
[[noreturn]] void throwNotEnoughSpace(const char* file, int line, const char* function);
[[noreturn]] void throwSerialization(const char* file, int line, const char* function);

[[noreturn]] inline void throwIndexOutOfBounds() { SystemException::throwIt(SystemException::INDEX_OUT_OF_BOUNDS); }

}  // namespace quillon

#define THROW_NOT_FOUND(function) ::quillon::throwNotFound(__FILE__, __LINE__, (function))
#define THROW_INVALID_ARGUMENTS(function) ::quillon::throwInvalidArguments(__FILE__, __LINE__, (function))
