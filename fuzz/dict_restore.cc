// Property: restoring any exported arrays either refuses and leaves the
// dictionary exactly as it was, or gives a dictionary that passes its deep
// invariant check, decodes every id to its (offset, length) span of the
// blob, finds every non-empty entry's bytes again, tokenizes the blob back
// to itself, and exports and restores to the same entries.
//
// Input: u16 entry count n, then n pairs of u16 offset and u8 length, then
// the blob. Byte 0's low bit asks for a dictionary that already has entries,
// so a refusal has something to keep.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dict/dict.h"
#include "velta.h"

namespace {

struct DictFree {
  void operator()(vl_dict* d) const noexcept { vl_dict_free(d); }
};
using DictPtr = std::unique_ptr<vl_dict, DictFree>;

std::vector<std::string> entries(const vl_dict* d) {
  std::vector<std::string> out;
  for (std::uint32_t id = 1; id <= vl_dict_size(d); ++id) {
    std::uint64_t n = 0;
    const std::uint8_t* p = vl_dict_text(d, id, &n);
    out.emplace_back(reinterpret_cast<const char*>(p), n);
  }
  return out;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

// Also called by the seed replay of the plain test build.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const bool prefilled = (data[0] & 1) != 0;
  std::uint32_t n = data[1] | std::uint32_t{data[2]} << 8;
  std::size_t pos = 3;
  n = static_cast<std::uint32_t>(std::min<std::size_t>(n, (size - pos) / 3));
  std::vector<std::uint32_t> offs(n);
  std::vector<std::uint32_t> lens(n);
  for (std::uint32_t i = 0; i < n; ++i, pos += 3) {
    offs[i] = data[pos] | std::uint32_t{data[pos + 1]} << 8;
    lens[i] = data[pos + 2];
  }
  const std::uint8_t* blob = data + pos;
  const std::uint64_t blob_len = size - pos;

  DictPtr d(vl_dict_new());
  if (!d) return 0;
  if (prefilled) vl_dict_learn(d.get(), "seed text, seed_text 42", 23, 100);
  const std::vector<std::string> before = entries(d.get());

  if (vl_dict__restore(d.get(), blob, blob_len, offs.data(), lens.data(), n) != 0) {
    check(entries(d.get()) == before);
    check(velta::dict::check_invariants(*d, false));
    return 0;
  }
  check(velta::dict::check_invariants(*d, false));
  check(vl_dict_size(d.get()) == n);
  const std::vector<std::string> got = entries(d.get());
  for (std::uint32_t i = 0; i < n; ++i) {
    check(got[i] == std::string(reinterpret_cast<const char*>(blob) + offs[i], lens[i]));
    if (lens[i] == 0) continue;
    const std::uint32_t id = vl_dict_lookup(d.get(), got[i].data(), got[i].size());
    check(id != 0 && got[id - 1] == got[i]);
  }

  std::vector<std::uint32_t> ids(blob_len + 1);
  const std::uint64_t n_ids = vl_tokenize(d.get(), blob, blob_len, ids.data(), ids.size());
  check(n_ids <= ids.size());
  std::vector<std::uint8_t> back(blob_len);
  check(vl_detokenize(d.get(), ids.data(), n_ids, back.data(), back.size()) == blob_len);
  check(blob_len == 0 || std::memcmp(back.data(), blob, blob_len) == 0);

  std::uint64_t text_len = 0;
  const std::uint8_t* texts = vl_dict__texts(d.get(), &text_len);
  DictPtr again(vl_dict_new());
  if (!again) return 0;
  check(vl_dict__restore(again.get(), texts, text_len, vl_dict__offs(d.get()),
                         vl_dict__lens(d.get()), vl_dict__entries(d.get())) == 0);
  check(entries(again.get()) == got);
  return 0;
}
