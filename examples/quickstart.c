/* quickstart.c: a first tour of libvelta through velta.h alone.
 *
 * Makes an engine in memory, creates two objects, edits one of them a few
 * times (each edit is a new version), reads every version back, searches,
 * merges, and prints the engine's statistics. Then it makes the engine
 * durable: saves a store in a temporary directory, edits through the
 * write-ahead log, "crashes" (frees without saving), reopens with the log
 * replayed, commits, and reopens a mappable snapshot in place.
 * Build and run with `make demo`.
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "velta.h"

/* Prints version `v` of an object; returns 0, or 1 when it cannot. */
static int print_version(vl_engine* engine, vl_object* object, uint32_t v) {
  uint64_t len = vl_object_bytes(object, v);
  char* buf = malloc(len + 1);
  if (buf == NULL) return 1;
  /* Reads copy a byte range of any version into the caller's buffer. */
  uint64_t got = vl_read_version(engine, object, v, 0, len, buf);
  buf[got] = '\0';
  printf("  version %u (%llu bytes): %s\n", v, (unsigned long long)got, buf);
  free(buf);
  return 0;
}

/* Saves, edits through the log, reopens after a simulated crash, commits,
 * and reopens a mappable snapshot. Consumes `engine`. Returns 0 on success. */
static int durability_tour(vl_engine* engine) {
  char dir[] = "/tmp/velta-demo-XXXXXX";
  if (mkdtemp(dir) == NULL) return 1;
  char path[64], wal[80];
  snprintf(path, sizeof path, "%s/demo.vl", dir);
  snprintf(wal, sizeof wal, "%s.wal", path);
  int rc = 1;

  /* A save writes the snapshot (compressed when that is smaller) and starts
   * an empty log beside it, at generation 1 for an engine made in memory. */
  int saved = vl_save(engine, path);
  /* The saving engine now logs into the store as its one writer; another
   * engine opened meanwhile would keep its edits in memory only. */
  vl_close(engine);
  if (saved != 0) goto out;
  printf("saved %s: format %d, generation %llu\n", path, vl_store_format(path),
         (unsigned long long)vl_store_generation(path));

  /* Every edit of an opened store is appended to the log and fsynced before
   * the call returns. Free without saving, as a crash would. */
  vl_engine* a = vl_open(path);
  if (a == NULL) goto out;
  vl_object* doc = vl_object_open(a, "greeting");
  vl_update(a, doc, 0, 0, "[logged] ", 9);
  printf("edited through the log: %llu record(s), %llu bytes\n",
         (unsigned long long)vl_wal_records(a), (unsigned long long)vl_wal_bytes(a));
  vl_close(a);

  /* Reopening replays the log over the snapshot: the edit and the whole
   * history survived. */
  vl_engine* b = vl_open(path);
  if (b == NULL) goto out;
  doc = vl_object_open(b, "greeting");
  printf("reopened: %llu record(s) replayed, \"greeting\" has %u versions, newest:\n",
         (unsigned long long)vl_wal_replayed(b), vl_object_versions(doc));
  print_version(b, doc, vl_object_versions(doc) - 1);

  /* Commit saves under the lock file, only if nobody committed since this
   * engine was opened (generation check). */
  uint64_t gen = vl_engine_generation(b);
  int c = vl_commit(b, path, gen);
  printf("commit from generation %llu: %d, store now at generation %llu\n", (unsigned long long)gen,
         c, (unsigned long long)vl_store_generation(path));
  /* A second commit from the old generation loses the race. */
  printf("commit from stale generation %llu: %d (conflict)\n", (unsigned long long)gen,
         vl_commit(b, path, gen));

  /* The mappable layout keeps chunk tokens uncompressed in a trailer, so an
   * open maps them in place instead of copying. */
  if (vl_save_ex(b, path, VL_SAVE_MAPPABLE) != 0) {
    vl_close(b);
    goto out;
  }
  vl_close(b);
  vl_engine* m = vl_open(path);
  if (m == NULL) goto out;
  printf("mappable store: mapped=%d, %llu token bytes borrowed, trailer check %d\n",
         vl_store_is_mapped(m), (unsigned long long)vl_store_mapped_bytes(m),
         vl_verify_chunks(path));
  vl_close(m);
  rc = 0;
out:
  unlink(wal);
  unlink(path);
  rmdir(dir);
  if (rc != 0) fprintf(stderr, "durability tour failed\n");
  return rc;
}

int main(void) {
  /* An engine holds a dictionary, a chunk store and the named objects. */
  vl_engine* engine = vl_engine_new();
  if (engine == NULL) {
    fprintf(stderr, "out of memory\n");
    return 1;
  }

  const char* greeting = "Hello, world! Versions share what they do not change.";
  vl_object* doc = vl_create(engine, "greeting", greeting, strlen(greeting));
  const char* notes = "Hello, world! A second object shares chunks and dictionary.";
  vl_object* other = vl_create(engine, "notes", notes, strlen(notes));
  if (doc == NULL || other == NULL) {
    fprintf(stderr, "create failed\n");
    vl_engine_free(engine);
    return 1;
  }

  /* vl_update(engine, object, pos, del, text, len) replaces the bytes
   * [pos, pos + del) of the newest text and appends the result as a new
   * version; every earlier version stays readable. */
  int rc = 0;
  rc |= vl_update(engine, doc, 7, 5, "velta", 5); /* world -> velta */
  rc |= vl_update(engine, doc, 0, 0, ">> ", 3);   /* insert at front */
  rc |= vl_update(engine, doc, vl_object_bytes(doc, 0xFFFFFFFFu), 0, " Bye.", 5);
  const char* middle = " Versions share what they do not change.";
  rc |= vl_update(engine, doc, 16, strlen(middle), NULL, 0); /* pure deletion */
  if (rc != 0) fprintf(stderr, "an update was refused\n");
  /* A position past the end is refused and changes nothing. */
  if (vl_update(engine, doc, 1000, 0, "x", 1) != -1) fprintf(stderr, "expected a refusal\n");

  printf("object \"%s\" has %u versions:\n", vl_object_name(doc), vl_object_versions(doc));
  for (uint32_t v = 0; v < vl_object_versions(doc); ++v) {
    if (print_version(engine, doc, v) != 0) rc = 1;
  }

  /* Objects are found by name; deleting one moves the last into its slot. */
  printf("objects: %u; \"notes\" %s\n", vl_engine_objects(engine),
         vl_object_open(engine, "notes") == other ? "found" : "missing");

  /* The six counters, with the two store fields read live. */
  vl_stats st;
  vl_engine_stats(engine, &st);
  printf("stats: chunks_put=%llu chunks_deduped=%llu tokens_decoded=%llu\n",
         (unsigned long long)st.chunks_put, (unsigned long long)st.chunks_deduped,
         (unsigned long long)st.tokens_decoded);
  printf("       bytes_ingested=%llu store_bytes=%llu dictionary entries=%u\n",
         (unsigned long long)st.bytes_ingested, (unsigned long long)st.store_bytes,
         vl_dict_size(vl_engine_dict(engine)));

  /* Search finds byte strings in every current text, across token edges. */
  uint64_t pos[8];
  int obj[8];
  uint64_t hits = vl_search_flat(engine, "Hello", 5, pos, obj, 8);
  printf("search \"Hello\": %llu hits:", (unsigned long long)hits);
  for (uint64_t i = 0; i < hits; ++i) {
    printf(" %s@%llu", vl_object_name(vl_engine_object(engine, obj[i])),
           (unsigned long long)pos[i]);
  }
  printf("\n");

  /* Three-way merge: bring the change version 1 made against version 0
   * into the current version, which made a change of its own. */
  vl_object* cfg = vl_create(engine, "config", "colour=red size=small", 21);
  vl_update(engine, cfg, 16, 5, "large", 5);                                        /* v1: theirs */
  vl_update(engine, cfg, 0, vl_object_bytes(cfg, 1), "colour=blue size=small", 22); /* v2 */
  vl_merge_report report;
  if (vl_merge(engine, cfg, 0, 1, &report) == 0) {
    printf("merge: ");
    print_version(engine, cfg, report.version);
  } else {
    rc = 1;
  }

  if (rc != 0) {
    /* Freeing the engine releases every object and version; nothing is saved. */
    vl_engine_free(engine);
    return 1;
  }
  return durability_tour(engine) != 0;
}
