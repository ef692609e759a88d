// The record layer of a tape: the one-byte control that begins every record, its
// enumerations, the named controls and the names used in diagnostics. Shared by the
// writer and both readers.
#pragma once

#include <cstdint>

namespace tarnwick_stream {

// Low nibble of a sized control.
enum SizedTypes : uint8_t {
    BYTES = 0,
    LIST = 1,
    DICT = 2,
    TUPLE = 3,
    STR = 4,
    PICKLED = 5,
    UINT = 6,
    BIGINT = 7,
    SET = 8,
    FROZENSET = 9,
    BINDING = 10,
    INTERN = 11,
    STR_REF = 12,
    SizedTypes_FIXED_SIZE = 13,
    SizedTypes__LAST__ = 14,
};
// The spelling used where the low nibble marks the fixed-size view.
constexpr SizedTypes FIXED_SIZE = SizedTypes_FIXED_SIZE;

// High nibble of a sized control: 0-11 are inline sizes.
enum Sizes : uint8_t {
    ONE_BYTE_SIZE = 12,
    TWO_BYTE_SIZE = 13,
    FOUR_BYTE_SIZE = 14,
    EIGHT_BYTE_SIZE = 15,
};
constexpr uint8_t MAX_INLINE_SIZE = 11;

// High nibble of a fixed-size control.
enum FixedSizeTypes : uint8_t {
    NONE = 0,
    THREAD_ENTER = 1,
    THREAD_EXIT = 2,
    FLOAT = 3,
    INT64 = 4,
    INTERN_INLINE = 5,
    CHECKSUM = 6,
    DROPPED = 7,
    HEARTBEAT = 8,
    SERIALIZE_ERROR = 9,
    FixedSizeTypes__LAST__ = 10,
};

// One control byte, seen as a sized record header, a fixed-size record header or a
// raw byte.
union Control {
    struct {
        uint8_t type : 4;
        uint8_t size : 4;
    } Sized;
    struct {
        uint8_t SizedTypes_FIXED_SIZE : 4;
        uint8_t type : 4;
    } Fixed;
    uint8_t raw;

    constexpr Control() : raw(0) {}
    constexpr explicit Control(uint8_t byte) : raw(byte) {}
    constexpr Control(SizedTypes low, FixedSizeTypes high)
        : raw(static_cast<uint8_t>((low & 0x0F) | ((high & 0x0F) << 4))) {}

    constexpr bool is_fixed() const { return (raw & 0x0F) == SizedTypes_FIXED_SIZE; }
    constexpr uint8_t low() const { return raw & 0x0F; }
    constexpr uint8_t high() const { return raw >> 4; }

    constexpr bool operator==(const Control& other) const { return raw == other.raw; }
    constexpr bool operator!=(const Control& other) const { return raw != other.raw; }
};
static_assert(sizeof(Control) == 1, "a control is one byte");

constexpr Control create_fixed_size(FixedSizeTypes t) {
    return Control(SizedTypes_FIXED_SIZE, t);
}
constexpr Control CreateFixedSize(FixedSizeTypes t) { return create_fixed_size(t); }

// A sized control with an inline size (n <= 11) or a size class in the high nibble.
constexpr uint8_t sized_control(SizedTypes t, uint8_t high) {
    return static_cast<uint8_t>((high << 4) | t);
}

inline constexpr Control Intern = create_fixed_size(INTERN_INLINE);      // 0x5D
inline constexpr Control Checksum = create_fixed_size(CHECKSUM);         // 0x6D
inline constexpr Control Dropped = create_fixed_size(DROPPED);           // 0x7D
inline constexpr Control Heartbeat = create_fixed_size(HEARTBEAT);       // 0x8D
inline constexpr Control SerializeError = create_fixed_size(SERIALIZE_ERROR);  // 0x9D

static_assert(Intern.raw == 0x5D && Checksum.raw == 0x6D && Dropped.raw == 0x7D &&
              Heartbeat.raw == 0x8D && SerializeError.raw == 0x9D);

// Upper-case names for diagnostics; null for codes outside the table.
inline const char* SizedTypes_Name(SizedTypes t) {
    static const char* const names[] = {"BYTES", "LIST", "DICT",      "TUPLE",   "STR",
                                        "PICKLED", "UINT", "BIGINT",  "SET",     "FROZENSET",
                                        "BINDING", "INTERN", "STR_REF", "FIXED_SIZE"};
    return t < sizeof(names) / sizeof(names[0]) ? names[t] : nullptr;
}

inline const char* FixedSizeTypes_Name(FixedSizeTypes t) {
    static const char* const names[] = {"NONE",   "THREAD_ENTER", "THREAD_EXIT", "FLOAT",
                                        "INT64",  "INTERN",       "CHECKSUM",    "DROPPED",
                                        "HEARTBEAT", "SERIALIZE_ERROR"};
    return t < sizeof(names) / sizeof(names[0]) ? names[t] : nullptr;
}

}  // namespace tarnwick_stream
