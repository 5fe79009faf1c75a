/* Compiled alone with -std=c11 -pedantic -Werror: the public header must be
 * plain, self-contained C. */
#include "velta.h"

int velta_header_c11_probe(void);
int velta_header_c11_probe(void) { return (int)sizeof(vl_stats) + (int)sizeof(vl_merge_report); }
