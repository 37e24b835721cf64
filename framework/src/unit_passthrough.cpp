// SPDX-License-Identifier: LGPL-2.1-or-later
// Helpers for pass-through units: units whose output has the layout of their
// input.
#include <kovkit/unit.h>

void kov_unit_mirror_input_format(KovUnit *unit, KovUnitFormat *input) {
  g_return_if_fail(KOV_IS_UNIT(unit));
  g_return_if_fail(input == nullptr || KOV_IS_UNIT_FORMAT(input));
  kov_unit_remove_all_output_formats(unit);
  if (input == nullptr) return;
  kov_unit_add_output_format(unit, input->pixelformat, input->name, input->width,
                             input->height, input->row_stride);
}
