/* quickstart.c: a first tour of libvelta through velta.h alone.
 *
 * Makes an engine in memory, creates two objects, edits one of them a few
 * times (each edit is a new version), reads every version back and prints
 * the engine's statistics. Build and run with `make demo`.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

  /* Freeing the engine releases every object and version; nothing is saved. */
  vl_engine_free(engine);
  return rc != 0;
}
