/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Opens each plug-in module given on the command line with
 * dlopen(RTLD_NOW | RTLD_LOCAL) in a process that links nothing but the C
 * library: a module must bring every library it calls with it. Prints one
 * line per module ("ok PATH" or "FAIL PATH: reason") and exits 1 if any
 * failed, 3 if the framework library was already loaded before the first. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <string.h>

static int framework_loaded(struct dl_phdr_info *info, size_t size, void *data) {
  (void)size;
  (void)data;
  return info->dlpi_name != NULL && strstr(info->dlpi_name, "libkovkit") != NULL;
}

int main(int argc, char **argv) {
  if (dl_iterate_phdr(framework_loaded, NULL)) {
    printf("libkovkit is loaded before any plug-in\n");
    return 3;
  }
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    void *handle = dlopen(argv[i], RTLD_NOW | RTLD_LOCAL);
    if (handle == NULL) {
      printf("FAIL %s: %s\n", argv[i], dlerror());
      failed = 1;
      continue;
    }
    if (dlsym(handle, "kov_plugin_initialize") == NULL ||
        dlsym(handle, "kov_plugin_create") == NULL) {
      printf("FAIL %s: entry points missing\n", argv[i]);
      failed = 1;
      continue;
    }
    printf("ok %s\n", argv[i]);
  }
  return failed;
}
