/* A host application built against an installed httpmedia, as a player is:
 * its build gives it the plug-in's installed path (HOST_PLUGIN) and the
 * package's version (HOST_PACKAGE_VERSION), from the CMake package or from
 * pkg-config. It loads the plug-in, streams a URL through it and prints what
 * it got: the length, the bytes and their FNV-1a hash.
 *
 *   host URL */
#include <dlfcn.h>
#include <httpmedia/httpmedia.h>
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2 || strlen(argv[1]) >= 1024) {
    fprintf(stderr, "usage: host URL\n");
    return 64;
  }
  printf("header version %s\n", HTTPMEDIA_VERSION);
  printf("package version %s\n", HOST_PACKAGE_VERSION);
  printf("plugin %s\n", HOST_PLUGIN);

  void* plugin = dlopen(HOST_PLUGIN, RTLD_NOW | RTLD_LOCAL);
  if (plugin == NULL) {
    fprintf(stderr, "host: %s\n", dlerror());
    return 1;
  }
  int32_t(HTTPMEDIA_CALL * open)(const HttpMediaChar*);
  int32_t(HTTPMEDIA_CALL * read)(void*, int32_t);
  int32_t(HTTPMEDIA_CALL * close)(void);
  *(void**)&open = dlsym(plugin, "InputMediaOpen");
  *(void**)&read = dlsym(plugin, "InputMediaRead");
  *(void**)&close = dlsym(plugin, "InputMediaClose");
  if (open == NULL || read == NULL || close == NULL) {
    fprintf(stderr, "host: the plug-in lacks its functions\n");
    return 1;
  }

  HttpMediaChar url[1024];
  size_t i = 0;
  for (; argv[1][i] != '\0'; ++i) url[i] = (unsigned char)argv[1][i]; /* ASCII URLs only */
  url[i] = 0;
  const int32_t length = open(url);
  printf("length %" PRId32 "\n", length);
  if (length == 0) return 1;

  static unsigned char buffer[65536];
  uint64_t hash = UINT64_C(14695981039346656037);
  int64_t total = 0;
  int32_t got;
  while ((got = read(buffer, (int32_t)sizeof buffer)) > 0) {
    for (int32_t k = 0; k < got; ++k) hash = (hash ^ buffer[k]) * UINT64_C(1099511628211);
    total += got;
  }
  printf("read %" PRId64 " bytes, fnv1a64 %016" PRIx64 "\n", total, hash);
  close();
  dlclose(plugin);
  return total == length ? 0 : 2;
}
