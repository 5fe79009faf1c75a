/* A program built against an installed velta, as a user outside this tree
 * builds one: two versions of an object, both read back, then saved to the
 * store named by argv[1] for the installed `velta` tool to read. */
#include <stdio.h>
#include <string.h>

#include "velta.h"

static int expect(vl_engine* e, vl_object* o, uint32_t version, const char* want) {
  char buf[64];
  uint64_t n = vl_read_version(e, o, version, 0, sizeof buf, buf);
  if (n != strlen(want) || memcmp(buf, want, n) != 0) {
    fprintf(stderr, "version %u: got \"%.*s\", want \"%s\"\n", version, (int)n, buf, want);
    return 1;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  vl_engine* e = vl_engine_new();
  vl_object* doc = e ? vl_create(e, "notes", "hello, world", 12) : NULL;
  int bad = doc == NULL || vl_update(e, doc, 7, 5, "velta", 5) != 0;
  if (!bad) bad = expect(e, doc, 0, "hello, world") | expect(e, doc, 1, "hello, velta");
  if (!bad) bad = vl_save(e, argv[1]) != 0;
  vl_engine_free(e);
  if (bad) fprintf(stderr, "consumer failed\n");
  return bad;
}
