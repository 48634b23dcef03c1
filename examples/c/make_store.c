/* make_store: write a small kalvex store from C.
 *
 *   make_store STORE
 *
 * Three keys with msgpack text values, as the Python package would store them: "greeting"
 * and "hello" share one object, "answer" has its own. */
#include <stdio.h>
#include <string.h>

#include "kalvex.h"

static int Check(kalvex_status status, kalvex_error* err) {
  if (status == KALVEX_OK) return 1;
  fprintf(stderr, "%s\n", err->message ? err->message : "kalvex call failed");
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s STORE\n", argv[0]);
    return 2;
  }
  /* msgpack fixstr: 0xa0 | length, then the bytes. */
  static const char kHello[] = "\xa5hello";
  static const char kFortyTwo[] = "\xa2" "42";
  kalvex_error err = KALVEX_ERROR_INIT;
  kalvex_writer* writer = NULL;
  uint64_t hello, forty_two;
  int ok = Check(kalvex_writer_new(&writer, &err), &err) &&
           Check(kalvex_writer_add_object(writer, kHello, sizeof kHello - 1, &hello, &err), &err) &&
           Check(kalvex_writer_add_object(writer, kFortyTwo, sizeof kFortyTwo - 1, &forty_two, &err), &err) &&
           Check(kalvex_writer_add_key(writer, "greeting", 8, hello, &err), &err) &&
           Check(kalvex_writer_add_key(writer, "hello", 5, hello, &err), &err) &&
           Check(kalvex_writer_add_key(writer, "answer", 6, forty_two, &err), &err) &&
           Check(kalvex_writer_build(writer, argv[1], strlen(argv[1]), 1, NULL, &err), &err);
  kalvex_writer_free(writer);
  kalvex_error_clear(&err);
  return ok ? 0 : 2;
}
