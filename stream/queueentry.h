// Queue entries: the 64-bit words that carry recorded items from the producers to the
// queue's writer thread. A word is an object address (bit 0 clear) or a tagged word
// holding a handle (ref entry) or a command with an optional element count.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace tarnwick_stream {

using QEntry = uintptr_t;
using BindingHandle = uint64_t;

static_assert(sizeof(QEntry) == 8, "queue entries are 64-bit words");

enum EntryKind : unsigned {
    ENTRY_REF = 0,
    ENTRY_COMMAND = 3,
};

enum Cmd : unsigned {
    CMD_INTERN = 0,     // followed by a pointer entry (owned) and a ref entry (the key)
    CMD_FLUSH = 1,
    CMD_SHUTDOWN = 2,
    CMD_LIST = 3,       // followed by `length` items
    CMD_TUPLE = 4,      // followed by `length` items
    CMD_DICT = 5,       // followed by 2 * `length` items, key before value
    CMD_HEARTBEAT = 6,  // the payload follows as an ordinary item
};

inline constexpr QEntry ENTRY_TAG_BIT = 1;
inline constexpr int ENTRY_KIND_SHIFT = 1;
inline constexpr QEntry ENTRY_KIND_MASK = 3;
inline constexpr int ENTRY_PAYLOAD_SHIFT = 3;
inline constexpr int CMD_SHIFT = 3;
inline constexpr int CMD_BITS = 5;
inline constexpr int LEN_SHIFT = 8;
inline constexpr BindingHandle MAX_INLINE_BINDING_HANDLE = (BindingHandle{1} << 61) - 1;
// The largest element count one collection header can carry.
inline constexpr uint64_t MAX_COLLECTION_LENGTH = 0xFFFFFFFFu;

inline QEntry object_entry(PyObject* obj) { return reinterpret_cast<QEntry>(obj); }

constexpr QEntry ref_entry(BindingHandle handle) {
    return (static_cast<QEntry>(handle) << ENTRY_PAYLOAD_SHIFT) | ENTRY_TAG_BIT;
}

constexpr QEntry cmd_entry(uint32_t cmd, uint32_t len) {
    return (static_cast<QEntry>(cmd) << CMD_SHIFT) | (static_cast<QEntry>(len) << LEN_SHIFT) |
           (static_cast<QEntry>(ENTRY_COMMAND) << ENTRY_KIND_SHIFT) | ENTRY_TAG_BIT;
}

constexpr bool is_pointer_entry(QEntry e) { return (e & ENTRY_TAG_BIT) == 0; }
constexpr bool is_tagged_entry(QEntry e) { return (e & ENTRY_TAG_BIT) != 0; }
constexpr unsigned kind_of(QEntry e) {
    return static_cast<unsigned>((e >> ENTRY_KIND_SHIFT) & ENTRY_KIND_MASK);
}
constexpr bool is_ref_entry(QEntry e) { return is_tagged_entry(e) && kind_of(e) == ENTRY_REF; }
constexpr bool is_command_entry(QEntry e) {
    return is_tagged_entry(e) && kind_of(e) == ENTRY_COMMAND;
}

inline PyObject* as_object(QEntry e) { return reinterpret_cast<PyObject*>(e); }
inline PyObject* as_payload_obj(QEntry e) { return reinterpret_cast<PyObject*>(e); }
constexpr BindingHandle as_binding_handle(QEntry e) {
    return static_cast<BindingHandle>(e >> ENTRY_PAYLOAD_SHIFT);
}
constexpr unsigned cmd_of(QEntry e) {
    return static_cast<unsigned>((e >> CMD_SHIFT) & ((QEntry{1} << CMD_BITS) - 1));
}
constexpr uint64_t len_of(QEntry e) { return static_cast<uint64_t>(e >> LEN_SHIFT); }

// The words are fixed: stored queues and producers rely on these exact values.
static_assert(ref_entry(0) == 0x1);
static_assert(ref_entry(42) == 0x151);
static_assert(ref_entry(MAX_INLINE_BINDING_HANDLE) == 0xFFFFFFFFFFFFFFF9ull);
static_assert(as_binding_handle(ref_entry(MAX_INLINE_BINDING_HANDLE)) == MAX_INLINE_BINDING_HANDLE);
static_assert(as_binding_handle(ref_entry(42)) == 42);
static_assert(cmd_entry(CMD_INTERN, 0) == 0x7);
static_assert(cmd_entry(CMD_FLUSH, 0) == 0xF);
static_assert(cmd_entry(CMD_SHUTDOWN, 0) == 0x17);
static_assert(cmd_entry(CMD_HEARTBEAT, 0) == 0x37);
static_assert(cmd_entry(CMD_LIST, 3) == 0x31F);
static_assert(cmd_entry(CMD_TUPLE, 2) == 0x227);
static_assert(cmd_entry(CMD_DICT, 2) == 0x22F);
static_assert(cmd_entry(CMD_LIST, 4294967295u) == 0xFFFFFFFF1Full);
static_assert(cmd_of(0xFFFFFFFF1Full) == CMD_LIST && len_of(0xFFFFFFFF1Full) == 4294967295u);
static_assert(is_ref_entry(0x1) && !is_command_entry(0x1) && !is_pointer_entry(0x1));
static_assert(is_command_entry(0x7) && !is_ref_entry(0x7));
static_assert(is_tagged_entry(0x3) && !is_ref_entry(0x3) && !is_command_entry(0x3));
static_assert(is_tagged_entry(0x5) && !is_ref_entry(0x5) && !is_command_entry(0x5));
static_assert(is_pointer_entry(0x1000));

}  // namespace tarnwick_stream
