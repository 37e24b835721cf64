#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Mutation check: puts small deliberate faults into a scratch copy of the
tree, one at a time, builds what the fault touches, runs the tests that
should notice it, and reports every fault that survives, with a score.

usage: scripts/mutate.py [--scratch DIR] [NAME ...]

The scratch copy (default /tmp/kovkit-mutate-$USER) holds the tracked files
of this tree as they are now, uncommitted changes included; its build folder
is kept between runs, and compiler output goes through ccache, so a second
run rebuilds only the mutated files. Not part of `make test`.
Exit status: 0 when every fault was noticed, 1 when one survived, 2 when the
unmutated copy does not build or its tests fail."""

import argparse
import getpass
import os
import shutil
import subprocess
import sys

# name, file, original text (found exactly once), faulty text, test
# executables (also the build targets) whose tests must notice the fault.
MUTANTS = [
    ("jpeg-quality-minus-one", "plugins/jpeg_encode/compress.cpp",
     "jpeg_set_quality(&cinfo, quality, TRUE);",
     "jpeg_set_quality(&cinfo, quality - 1, TRUE);",
     ["jpeg_encode_test"]),
    ("jpeg-size-check-and", "plugins/jpeg_decode/jpeg_decode.cpp",
     "if (cinfo.image_width != JDIMENSION(width) || cinfo.image_height != JDIMENSION(height)) {",
     "if (cinfo.image_width != JDIMENSION(width) && cinfo.image_height != JDIMENSION(height)) {",
     ["jpeg_decode_test"]),
    ("jpeg-scan-limit-off-by-one", "plugins/jpeg_decode/jpeg_decode.cpp",
     "if (dinfo->input_scan_number > kMaxScans) {",
     "if (dinfo->input_scan_number > kMaxScans + 1) {",
     ["jpeg_decode_test"]),
    ("format-check-zero-width", "framework/src/pixel_format.cpp",
     "if (width <= 0 || height <= 0) {\n    problem",
     "if (width < 0 || height <= 0) {\n    problem",
     ["framework_pixel_format_test"]),
    ("format-check-short-stride", "framework/src/pixel_format.cpp",
     "std::uint64_t(row_stride) < row_bytes(info, width)",
     "std::uint64_t(row_stride) + 1 < row_bytes(info, width)",
     ["framework_pixel_format_test", "framework_core_test"]),
    ("announce-unchecked-format", "framework/src/unit.cpp",
     "                              input_format->height, input_format->row_stride, nullptr))\n"
     "    input_format = nullptr;",
     "                              input_format->height, input_format->row_stride, nullptr))\n"
     "    (void)0;",
     ["framework_core_test"]),
    ("buffer-pool-one-size-too-many", "framework/src/buffer_pool.h",
     "(it == free_.end() && free_.size() >= kMaxSizes)",
     "(it == free_.end() && free_.size() > kMaxSizes)",
     ["framework_core_test"]),
    ("max-pixels-boundary", "framework/src/units/file_input.cpp",
     "if (pixels <= guint64(max)) return true;",
     "if (pixels < guint64(max)) return true;",
     ["builtin_units_test"]),
    ("hough-stale-marker", "plugins/hough_detect/hough.cpp",
     "  self->marker_r = 0;\n  if (self->circles != nullptr) self->circles->clear();",
     "  if (self->circles != nullptr) self->circles->clear();",
     ["hough_test", "hough_gl_test"]),
]

CONFIGURE = ["-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_C_COMPILER_LAUNCHER=ccache",
             "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DKOV_VALGRIND_TESTS=OFF"]


def run(cmd, log, **kwargs):
    with open(log, "w") as out:
        return subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, **kwargs).returncode == 0


def copy_tree(source, scratch):
    """The tracked files of @source, as they are on disk, into @scratch
    (files that are not tracked any more are removed; the build stays)."""
    files = subprocess.run(["git", "-C", source, "ls-files", "-z"], check=True,
                           capture_output=True).stdout.decode().split("\0")
    wanted = {f for f in files if f and os.path.isfile(os.path.join(source, f))}
    for root, dirs, names in os.walk(scratch):
        rel = os.path.relpath(root, scratch)
        if rel == "build" or rel.startswith("build" + os.sep):
            dirs[:] = []
            continue
        for name in names:
            path = os.path.normpath(os.path.join(rel, name))
            if path not in wanted:
                os.unlink(os.path.join(root, name))
    for f in sorted(wanted):
        src, dst = os.path.join(source, f), os.path.join(scratch, f)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        # Unchanged files keep their times, so the build does not redo them.
        if os.path.exists(dst):
            with open(src, "rb") as a, open(dst, "rb") as b:
                if a.read() == b.read():
                    continue
        shutil.copy2(src, dst)


def build_and_test(scratch, tests, log):
    build = os.path.join(scratch, "build")
    jobs = os.environ.get("JOBS", "2")
    if not run(["cmake", "--build", build, "-j" + jobs, "--target"] + tests, log + ".build"):
        return "build"
    pattern = "^(" + "|".join(tests) + ")$"
    env = dict(os.environ, ASAN_OPTIONS="")
    if not run(["ctest", "--test-dir", build, "-R", pattern, "--output-on-failure"],
               log + ".test", env=env):
        return "tests"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scratch", default="/tmp/kovkit-mutate-" + getpass.getuser())
    parser.add_argument("names", nargs="*", help="only these faults")
    args = parser.parse_args()
    source = subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True,
                            capture_output=True, text=True).stdout.strip()
    mutants = [m for m in MUTANTS if not args.names or m[0] in args.names]
    unknown = set(args.names) - {m[0] for m in MUTANTS}
    if unknown:
        print("mutate: no fault named " + ", ".join(sorted(unknown)), file=sys.stderr)
        return 2

    scratch = args.scratch
    os.makedirs(scratch, exist_ok=True)
    copy_tree(source, scratch)
    logs = os.path.join(scratch, "logs")
    os.makedirs(logs, exist_ok=True)
    if not run(["cmake", "-S", scratch, "-B", os.path.join(scratch, "build")] + CONFIGURE,
               os.path.join(logs, "configure")):
        print("mutate: the scratch copy does not configure; see " + logs, file=sys.stderr)
        return 2

    all_tests = sorted({t for m in mutants for t in m[4]})
    print("unmutated: building and running " + " ".join(all_tests), flush=True)
    failed = build_and_test(scratch, all_tests, os.path.join(logs, "unmutated"))
    if failed:
        print("mutate: the unmutated copy fails its " + failed + "; see " + logs,
              file=sys.stderr)
        return 2

    survivors = []
    for name, rel, original, faulty, tests in mutants:
        path = os.path.join(scratch, rel)
        with open(path) as f:
            text = f.read()
        if text.count(original) != 1:
            print("mutate: %s: the text to change is not in %s exactly once" % (name, rel),
                  file=sys.stderr)
            return 2
        with open(path, "w") as f:
            f.write(text.replace(original, faulty))
        try:
            caught = build_and_test(scratch, tests, os.path.join(logs, name))
        finally:
            with open(path, "w") as f:
                f.write(text)  # a new time: the next build compiles it again
        verdict = {"tests": "killed by the tests", "build": "does not build"}.get(caught,
                                                                                "SURVIVED")
        print("%-32s %s (%s)" % (name, verdict, ", ".join(tests)), flush=True)
        if caught is None:
            survivors.append(name)

    killed = len(mutants) - len(survivors)
    print("score: %d of %d faults noticed (%.0f%%)" % (killed, len(mutants),
                                                      100.0 * killed / max(len(mutants), 1)))
    if survivors:
        print("survivors: " + " ".join(survivors))
    return 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())
