/* A small real program for the PE library's tests: it must run the same after being rewritten. */
#include <stdio.h>

int main(void) {
  puts("sample ran");
  return 7;
}
