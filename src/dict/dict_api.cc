// The exported dictionary functions: the only place where raw pointers
// and lengths from C become dictionary calls. Every body runs through
// velta::guard so no exception reaches C; NULL handles and NULL pointers
// with non-zero lengths give each call's neutral result.
//
// Out of memory, per function: vl_dict_new returns NULL (errno ENOMEM);
// learn and train add what fits and count only that; vl_dict__restore
// returns -1 and leaves the dictionary as it was; vl_net__install_entry
// does nothing. Lookups, tokenizing and detokenizing never allocate.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "dict/dict.h"
#include "util/capi_guard.h"
#include "velta.h"

namespace vd = velta::dict;

namespace {

// Reports the ids a learn or train call appended (they only ever append).
void report_growth(vl_dict* dict, uint32_t before) noexcept {
  if (dict->size > before && dict->on_change != nullptr) {
    dict->on_change(dict->on_change_ctx, before + 1, dict->size);
  }
}

}  // namespace

// Entry b holds the byte value b; a byte token decodes to a pointer here.
// (In sanitizer builds the "__odr_asan." companion symbol stays inside the
// library through the version script.)
extern "C" VL_API const uint8_t VL_BYTE_TABLE[256] = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F,
    0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,
    0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F,
    0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8D, 0x8E, 0x8F,
    0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9E, 0x9F,
    0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF,
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF,
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF,
    0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF,
    0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF,
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF,
};

extern "C" {

VL_API vl_dict* vl_dict_new(void) noexcept {
  return velta::guard<vl_dict*>(nullptr, []() -> vl_dict* {
    std::unique_ptr<vl_dict> d = vd::make();
    if (!d) errno = ENOMEM;
    return d.release();
  });
}

VL_API void vl_dict_free(vl_dict* dict) noexcept { std::unique_ptr<vl_dict> owned(dict); }

VL_API uint32_t vl_dict_size(const vl_dict* dict) noexcept {
  return dict != nullptr ? dict->size : 0;
}

VL_API uint32_t vl_dict_version(const vl_dict* dict) noexcept {
  return dict != nullptr ? dict->size : 0;
}

VL_API uint32_t vl_dict_lookup(const vl_dict* dict, const void* text, uint64_t len) noexcept {
  if (dict == nullptr || text == nullptr) return 0;
  return vd::lookup(*dict, static_cast<const uint8_t*>(text), len);
}

VL_API const uint8_t* vl_dict_text(const vl_dict* dict, uint32_t id, uint64_t* out_len) noexcept {
  uint64_t len = 0;
  const uint8_t* p = nullptr;
  if (dict != nullptr) p = vd::text_of(*dict, id, &len);
  if (out_len != nullptr) *out_len = len;
  return p;
}

VL_API uint32_t vl_dict_learn(vl_dict* dict, const void* text, uint64_t len,
                              uint32_t limit) noexcept {
  if (dict == nullptr || text == nullptr) return 0;
  const uint32_t before = dict->size;
  const uint32_t added = velta::guard<uint32_t>(
      0, [&] { return vd::learn(*dict, static_cast<const uint8_t*>(text), len, limit); });
  report_growth(dict, before);
  return added;
}

VL_API uint64_t vl_tokenize(const vl_dict* dict, const void* text, uint64_t len, uint32_t* out,
                            uint64_t out_cap) noexcept {
  if (len == 0) return 0;
  if (dict == nullptr || text == nullptr) return UINT64_MAX;
  if (out == nullptr) out_cap = 0;
  return vd::tokenize(*dict, static_cast<const uint8_t*>(text), len, out, out_cap);
}

VL_API uint64_t vl_detok_len(const vl_dict* dict, const uint32_t* ids, uint64_t n) noexcept {
  if (dict == nullptr || ids == nullptr) return 0;
  return vd::detok_len(*dict, ids, n);
}

VL_API uint64_t vl_detokenize(const vl_dict* dict, const uint32_t* ids, uint64_t n, void* buf,
                              uint64_t buf_cap) noexcept {
  if (dict == nullptr || ids == nullptr) return 0;
  if (buf == nullptr) buf_cap = 0;
  return vd::detokenize(*dict, ids, n, static_cast<uint8_t*>(buf), buf_cap);
}

VL_API uint32_t vl_dict_train(vl_dict* dict, const void* sample, uint64_t len, uint32_t passes,
                              uint32_t per_pass, uint32_t min_count) noexcept {
  if (dict == nullptr) return 0;
  if (sample == nullptr) return dict->size;
  const uint32_t before = dict->size;
  const uint32_t size = velta::guard<uint32_t>(dict->size, [&] {
    return vd::train(*dict, static_cast<const uint8_t*>(sample), len, passes, per_pass, min_count);
  });
  report_growth(dict, before);
  return size;
}

VL_API int vl_dict__serializable(const vl_dict* dict) noexcept { return dict != nullptr ? 1 : 0; }

VL_API uint32_t vl_dict__entries(const vl_dict* dict) noexcept {
  return dict != nullptr ? dict->size : 0;
}

VL_API const uint32_t* vl_dict__offs(const vl_dict* dict) noexcept {
  return dict != nullptr ? dict->offs.get() : nullptr;
}

VL_API const uint32_t* vl_dict__lens(const vl_dict* dict) noexcept {
  return dict != nullptr ? dict->lens.get() : nullptr;
}

VL_API const uint8_t* vl_dict__texts(const vl_dict* dict, uint64_t* out_len) noexcept {
  if (out_len != nullptr) *out_len = dict != nullptr ? dict->text_used : 0;
  return dict != nullptr ? dict->text.get() : nullptr;
}

VL_API int vl_dict__restore(vl_dict* dict, const void* blob, uint64_t blob_len,
                            const uint32_t* offs, const uint32_t* lens, uint32_t count) noexcept {
  if (dict == nullptr) return -1;
  return velta::guard<int>(-1, [&] {
    return vd::restore(*dict, static_cast<const uint8_t*>(blob), blob_len, offs, lens, count) ? 0
                                                                                              : -1;
  });
}

VL_API void vl_net__install_entry(vl_dict* dict, uint32_t id, const void* text,
                                  uint32_t len) noexcept {
  if (dict == nullptr) return;
  // `text` may lie in the dictionary's own buffer, which installing can
  // move: compare against a copy.
  uint8_t want[vd::kMaxEntryLen];
  const bool reportable =
      dict->on_change != nullptr && len <= sizeof want && (len == 0 || text != nullptr);
  if (reportable && len != 0) std::memcpy(want, text, len);
  velta::guard_void([&] { vd::install(*dict, id, static_cast<const uint8_t*>(text), len); });
  if (!reportable) return;
  // Reported when the id now holds exactly these bytes, which is also the
  // case for a repeated install that changed nothing: replaying it is
  // harmless.
  uint64_t now_len = 0;
  const uint8_t* now = vd::text_of(*dict, id, &now_len);
  const bool holds = id != 0 && id <= dict->size && now_len == len &&
                     (len == 0 || (now != nullptr && std::memcmp(now, want, len) == 0));
  if (holds) dict->on_change(dict->on_change_ctx, id, id);
}

}  // extern "C"
