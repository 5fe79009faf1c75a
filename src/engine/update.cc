// Splice update: replace a byte range of the current text with new bytes as
// a new version, re-tokenizing only a small window.
//
// The window is the new text plus the part of the start token before `pos`
// and the part of the end token after the range. Token boundaries outside
// the window never move, even where tokenizing the whole new text would cut
// differently; the new tree shares every untouched subtree and chunk with
// the previous version, and the window becomes one new chunk.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "dict/dict.h"
#include "engine/engine.h"

namespace velta::engine {

namespace {

constexpr std::uint32_t kLearnLimit = 1048576;

// Headroom for the start token's prefix and the end token's suffix; learned
// and trained entries are at most 64 bytes.
constexpr std::uint64_t kWindowSlack = 4096;

void append(std::vector<std::uint8_t>* w, const std::uint8_t* p, std::uint64_t n) {
  if (n > 0) w->insert(w->end(), p, p + n);
}

}  // namespace

int update(vl_engine* engine, vl_object* object, std::uint64_t pos, std::uint64_t del,
           const std::uint8_t* text, std::uint64_t text_len) {
  const vl_version v = object->current();
  if (pos > v.bytes) return -1;
  if (text == nullptr) text_len = 0;
  // pos <= v.bytes, so the clipped end never wraps even for del near 2^64.
  const std::uint64_t end = pos + std::min(del, v.bytes - pos);

  // Token positions of both ends; (tokens, 0) for the end of the text.
  const TokPos s = locate(engine, v, pos);
  const TokPos e = end == pos ? s : locate(engine, v, end);

  if (text_len > SIZE_MAX - kWindowSlack) throw std::bad_alloc();
  std::vector<std::uint8_t> w;
  w.reserve(text_len + kWindowSlack);
  if (s.off > 0 && s.text != nullptr) append(&w, s.text, std::min(s.off, s.text_len));
  append(&w, text, text_len);
  if (e.off > 0 && e.text != nullptr && e.text_len > e.off) {
    append(&w, e.text + e.off, e.text_len - e.off);
  }

  // Not the exported call: the update record carries this text.
  dict::learn(*engine->dict, w.data(), w.size(), kLearnLimit);
  if (w.size() >= SIZE_MAX / sizeof(std::uint32_t)) throw std::bad_alloc();
  auto ids = std::make_unique_for_overwrite<std::uint32_t[]>(w.size() + 1);
  const std::uint64_t n_ids =
      vl_tokenize(engine->dict, w.data(), w.size(), ids.get(), w.size() + 1);
  if (n_ids == UINT64_MAX) throw std::bad_alloc();  // |W| + 1 always suffices

  // Replaced: from the start token through the end position, plus the end
  // token itself when the range ends inside it.
  const std::uint64_t run = (e.index - s.index) + (e.off > 0 ? 1 : 0);
  ExtRef head, rest, gone, tail;
  split_owned(engine, ExtRef(vl_ext_retain(v.root)), s.index, &head, &rest);
  split_owned(engine, std::move(rest), run, &gone, &tail);
  gone.reset();

  // The window becomes one chunk; only a window beyond what one chunk
  // record can count (2^32 - 1 ids) is stored in several.
  ExtRef mid;
  std::uint64_t puts = 0;
  for (std::uint64_t at = 0; at < n_ids;) {
    const std::uint64_t n = std::min<std::uint64_t>(n_ids - at, UINT32_MAX);
    const std::uint64_t key = vl_store_put(engine->store, ids.get() + at, n);
    if (key == 0) throw std::bad_alloc();
    ++puts;
    const vl_leaf leaf{key, 0, static_cast<std::uint32_t>(n)};
    const std::uint64_t bytes = ext_bytes(engine->dict, engine->store, leaf);
    ExtRef piece(vl_ext_build(&leaf, &bytes, 1));
    if (piece == nullptr) throw std::bad_alloc();
    mid = join_owned(std::move(mid), std::move(piece));
    at += n;
  }
  ids.reset();

  ExtRef result = join_owned(join_owned(std::move(head), std::move(mid)), std::move(tail));
  reserve_version(object);

  // Nothing below allocates: log, then publish the version.
  if (ChangeLog* log = engine->log.get()) {
    if (replayable_by_name(engine, object)) {
      log->log_update(object->name, pos, del, text, text_len);
    } else {
      log->mark_failed();
    }
  }
  push_version(engine, object, result.release());
  engine->stats.chunks_put += puts;
  engine->stats.store_bytes = vl_store_bytes(engine->store);
  return 0;
}

}  // namespace velta::engine
