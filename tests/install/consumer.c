/* Built against an installed velta as a program outside this tree is: two
 * versions of an object read back, then saved to argv[1] for the tool. */
#include <string.h>

#include "velta.h"

int main(int argc, char** argv) {
  char v0[16] = {0}, v1[16] = {0};
  vl_engine* e = vl_engine_new();
  vl_object* doc = e && argc == 2 ? vl_create(e, "notes", "hello, world", 12) : NULL;
  int ok = doc && vl_update(e, doc, 7, 5, "velta", 5) == 0 &&
           vl_read_version(e, doc, 0, 0, 15, v0) == 12 && strcmp(v0, "hello, world") == 0 &&
           vl_read_version(e, doc, 1, 0, 15, v1) == 12 && strcmp(v1, "hello, velta") == 0 &&
           vl_save(e, argv[1]) == 0;
  vl_engine_free(e);
  return ok ? 0 : 1;
}
