// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzz target for text a user types: with a first byte below 0x80 the rest
// is chain text ("input.testsrc width=3 ! util.flip flip-h=true"), parsed
// into units but never started (a chain could name files to write);
// otherwise the first byte picks a unit and the rest, split at new lines,
// is given to its controls as text, one line per control.
#include "fuzz_support.h"

#include <string>
#include <vector>

namespace {

const std::vector<std::string> &unit_ids() {
  static const std::vector<std::string> ids = [] {
    std::vector<std::string> v;
    KovUnitManager *manager = kov_unit_manager_get_and_ref();
    GList *all = kov_unit_manager_get_unit_descriptions(manager);
    for (GList *l = all; l != nullptr; l = l->next)
      v.emplace_back(kov_unit_description_get_id(static_cast<KovUnitDescription *>(l->data)));
    g_list_free(all);
    g_object_unref(manager);
    return v;
  }();
  return ids;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  kovfuzz::init();
  kovfuzz::Reader in(data, size);
  const uint8_t mode = in.u8();
  const std::string text = in.rest();
  if (mode < 0x80) {
    KovUnitChain *chain = kov_unit_chain_new();
    g_object_ref_sink(chain);
    GError *error = nullptr;
    if (!kov_unit_chain_load_from_str(chain, text.c_str(), &error)) {
      if (error == nullptr || error->message == nullptr) abort();  // a refusal must say why
      g_error_free(error);
    }
    kov_unit_chain_clear(chain);
    g_object_unref(chain);
    return 0;
  }
  const std::vector<std::string> &ids = unit_ids();
  if (ids.empty()) abort();
  KovUnitManager *manager = kov_unit_manager_get_and_ref();
  KovUnit *unit = kov_unit_manager_create_unit_by_id(manager, ids[mode % ids.size()].c_str());
  g_object_unref(manager);
  if (unit == nullptr) return 0;
  g_object_ref_sink(unit);
  size_t start = 0;
  for (const GList *l = kov_unit_get_controls(unit); l != nullptr && start <= text.size();
       l = l->next) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    GError *error = nullptr;
    auto *control = static_cast<KovUnitControl *>(l->data);
    if (!kov_unit_control_set_from_string(control, line.c_str(), &error)) {
      if (error == nullptr || error->message == nullptr) abort();
      g_error_free(error);
    }
    gchar *shown = kov_unit_control_value_to_string(control, kov_unit_control_get_value(control));
    g_free(shown);
  }
  g_object_unref(unit);
  return 0;
}
