// Status words the card answers (SW1 in the high byte), and the command header offsets.
#pragma once

#include <cstdint>

namespace quillon::ISO7816 {

inline constexpr std::uint16_t SW_NO_ERROR = 0x9000;
inline constexpr std::uint16_t SW_BYTES_REMAINING_00 = 0x6100;
inline constexpr std::uint16_t SW_FILE_TERMINATED = 0x6285;
inline constexpr std::uint16_t SW_VERIFICATION_FAILED = 0x63C0;
inline constexpr std::uint16_t SW_WRONG_LENGTH = 0x6700;
inline constexpr std::uint16_t SW_SECURE_MESSAGING_NOT_SUPPORTED = 0x6882;
inline constexpr std::uint16_t SW_COMMAND_CHAINING_NOT_SUPPORTED = 0x6884;
inline constexpr std::uint16_t SW_COMMAND_NOT_ALLOWED_NO_INFO = 0x6900;
inline constexpr std::uint16_t SW_COMMAND_INCOMPATIBLE = 0x6981;
inline constexpr std::uint16_t SW_SECURITY_STATUS_NOT_SATISFIED = 0x6982;
inline constexpr std::uint16_t SW_AUTHENTICATION_METHOD_BLOCKED = 0x6983;
inline constexpr std::uint16_t SW_DATA_INVALID = 0x6984;
inline constexpr std::uint16_t SW_CONDITIONS_NOT_SATISFIED = 0x6985;
inline constexpr std::uint16_t SW_COMMAND_NOT_ALLOWED = 0x6986;
inline constexpr std::uint16_t SW_WRONG_DATA = 0x6A80;
inline constexpr std::uint16_t SW_FUNC_NOT_SUPPORTED = 0x6A81;
inline constexpr std::uint16_t SW_FILE_NOT_FOUND = 0x6A82;
inline constexpr std::uint16_t SW_FILE_FULL = 0x6A84;
inline constexpr std::uint16_t SW_INCORRECT_P1P2 = 0x6A86;
inline constexpr std::uint16_t SW_REFERENCED_DATA_NOT_FOUND = 0x6A88;
inline constexpr std::uint16_t SW_INS_NOT_SUPPORTED = 0x6D00;
inline constexpr std::uint16_t SW_CLA_NOT_SUPPORTED = 0x6E00;
inline constexpr std::uint16_t SW_UNKNOWN = 0x6F00;

inline constexpr std::uint8_t OFFSET_CLA = 0;
inline constexpr std::uint8_t OFFSET_INS = 1;
inline constexpr std::uint8_t OFFSET_P1 = 2;
inline constexpr std::uint8_t OFFSET_P2 = 3;
inline constexpr std::uint8_t OFFSET_LC = 4;
inline constexpr std::uint8_t OFFSET_CDATA = 5;

}  // namespace quillon::ISO7816
