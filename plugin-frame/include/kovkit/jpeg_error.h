/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The libjpeg error manager of the framework and the JPEG plug-ins.
//
// libjpeg reports a fatal error by calling error_exit, which must not return.
// Here it stores the library's message and jumps back with longjmp to the
// setjmp of the function that owns the compress or decompress object. That
// function therefore holds only plain data (no object with a destructor)
// between setjmp and the end of its libjpeg calls:
//
//   kov::jpeg::ErrorManager err;
//   jpeg_decompress_struct cinfo;
//   cinfo.err = kov::jpeg::init_error_manager(&err, "decoder: ");
//   if (setjmp(err.jump) != 0) {
//     jpeg_destroy_decompress(&cinfo);  // err.message says what went wrong
//     return -1;
//   }
//   jpeg_create_decompress(&cinfo);
//   ...
//
// With a report prefix, the error is also printed on standard error as the
// prefix followed by the message and a newline, and the library's warnings
// are printed as libjpeg prints them ("Premature end of JPEG file"). Without
// one (nullptr), nothing is printed: the caller reports err.message itself.
//
// Header only, so that the framework and every plug-in compile their own
// hidden copy.
#ifndef KOVKIT_JPEG_ERROR_H
#define KOVKIT_JPEG_ERROR_H

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#pragma GCC visibility push(hidden)

namespace kov::jpeg {

// libjpeg's standard error manager first (libjpeg sees only that part),
// then the jump buffer and the text of the last fatal error.
struct ErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  const char *report_prefix;
};

// The value setjmp returns after a library error. Callers that jump back for
// reasons of their own (see jump) use other values.
constexpr int kLibraryError = 1;

// Jumps back to the setjmp of the function that owns cinfo with value, which
// must not be 0. For callbacks of the caller's own (a full output buffer).
[[noreturn]] inline void jump(j_common_ptr cinfo, int value) {
  longjmp(reinterpret_cast<ErrorManager *>(cinfo->err)->jump, value);
}

namespace detail {

[[noreturn]] inline void store_message_and_jump(j_common_ptr cinfo) {
  auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  if (err->report_prefix != nullptr)
    std::fprintf(stderr, "%s%s\n", err->report_prefix, err->message);
  jump(cinfo, kLibraryError);
}

inline void ignore_message(j_common_ptr, int) {}

}  // namespace detail

// Fills err with libjpeg's standard error manager, the error exit above and
// an empty message. report_prefix (kept, not copied) selects printing as
// described at the top; nullptr prints nothing. Returns the pointer to store
// in the compress or decompress object's err field.
inline jpeg_error_mgr *init_error_manager(ErrorManager *err, const char *report_prefix) {
  jpeg_error_mgr *pub = jpeg_std_error(&err->pub);
  pub->error_exit = detail::store_message_and_jump;
  if (report_prefix == nullptr) pub->emit_message = detail::ignore_message;
  err->message[0] = '\0';
  err->report_prefix = report_prefix;
  return pub;
}

}  // namespace kov::jpeg

#pragma GCC visibility pop

#endif
