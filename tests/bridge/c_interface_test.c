/*
 * The C interface as a C caller sees it: this file is compiled as C and includes nothing of the
 * companion but the interface's header, so the header must stand alone in C. It calls the pair
 * with inputs that are answered before any keychain is opened and frees every buffer it gets.
 */
#include "ktarn_macos.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

static void expect_answer(const char* key_name, const char* operation, const char* expected) {
  char* answer = ktarn_macos_call(key_name, operation, "");
  if (answer == NULL || strcmp(answer, expected) != 0) {
    fprintf(stderr, "%s / %s: got %s, want %s\n", key_name ? key_name : "(NULL)",
            operation ? operation : "(NULL)", answer ? answer : "(NULL)", expected);
    ++failures;
  }
  ktarn_macos_free(answer);
}

int main(void) {
  expect_answer("kTARN.C.Caller", "health",
                "{\"ok\":false,\"error\":\"Unsupported macOS native operation\"}");
  expect_answer("other.C.Caller", "key",
                "{\"ok\":false,\"error\":\"Invalid application key namespace\"}");
  expect_answer(NULL, NULL, "{\"ok\":false,\"error\":\"Invalid application key namespace\"}");
  ktarn_macos_free(NULL);
  return failures == 0 ? 0 : 1;
}
