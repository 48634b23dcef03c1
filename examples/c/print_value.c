/* print_value: look a key up in a kalvex store and print its value.
 *
 *   print_value STORE KEY
 *
 * Values written by the Python package are msgpack; a text value is printed as text,
 * anything else as hexadecimal bytes. Exit status 0 found, 1 absent, 2 error.
 *
 * Against an installed package (`pip install .` in a checkout), whose folder holds the library
 * and include/kalvex.h:
 *   dir=$(python -c 'import kalvex, os; print(os.path.dirname(kalvex.__file__))')
 *   cc -std=c99 print_value.c -I"$dir/include" -L"$dir" -lkalvex -Wl,-rpath,"$dir" */
#include <stdio.h>
#include <string.h>

#include "kalvex.h"

/* The text of a msgpack str (fixstr, str 8, str 16), or NULL for any other value. */
static const uint8_t* MsgpackText(kalvex_bytes value, size_t* size) {
  const uint8_t* p = value.data;
  size_t head, length;
  if (value.size >= 1 && (p[0] & 0xe0) == 0xa0) {
    head = 1, length = p[0] & 0x1f;
  } else if (value.size >= 2 && p[0] == 0xd9) {
    head = 2, length = p[1];
  } else if (value.size >= 3 && p[0] == 0xda) {
    head = 3, length = ((size_t)p[1] << 8) | p[2];
  } else {
    return NULL;
  }
  if (value.size - head != length) return NULL;
  *size = length;
  return p + head;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s STORE KEY\n", argv[0]);
    return 2;
  }
  kalvex_error err = KALVEX_ERROR_INIT;
  kalvex_reader* reader = NULL;
  if (kalvex_reader_open(argv[1], strlen(argv[1]), 1, &reader, &err) != KALVEX_OK) {
    fprintf(stderr, "%s\n", err.message ? err.message : "cannot open the store");
    kalvex_error_clear(&err);
    return 2;
  }
  int status = 0;
  kalvex_bytes value;
  if (kalvex_reader_find(reader, argv[2], strlen(argv[2]), &value, &err) != KALVEX_OK) {
    fprintf(stderr, "%s\n", err.message ? err.message : "lookup failed");
    status = 2;
  } else if (value.data == NULL) {
    fprintf(stderr, "%s: no such key\n", argv[2]);
    status = 1;
  } else {
    /* `value` points into the reader's mapping: print it before closing. */
    size_t size;
    const uint8_t* text = MsgpackText(value, &size);
    if (text != NULL) {
      printf("%.*s\n", (int)size, (const char*)text);
    } else {
      for (size_t i = 0; i < value.size; ++i) printf("%02x", value.data[i]);
      printf("\n");
    }
  }
  kalvex_error_clear(&err);
  kalvex_reader_close(reader);
  return status;
}
