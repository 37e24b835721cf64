// SPDX-License-Identifier: LGPL-2.1-or-later
// Chain description text: units separated by "!", each an identifier
// followed by key=value settings. A key is a control id of the unit or the
// reserved key "format", which picks the unit's output format by its
// four-character code. Values may be double-quoted (\" and \\ escape inside
// quotes). Example: input.example enum=3 ! util.flip flip-h=true
#include "chain_parser.h"

#include <string>
#include <vector>

namespace {

struct Token {
  enum Kind { Word, Bang } kind;
  std::string text;   // the word with quotes removed
  std::string raw;    // the word as written, for messages
};

bool tokenize(const gchar *text, std::vector<Token> &tokens, GError **error) {
  const char *p = text;
  while (*p != '\0') {
    if (g_ascii_isspace(*p)) {
      ++p;
      continue;
    }
    if (*p == '!') {
      tokens.push_back({Token::Bang, "!", "!"});
      ++p;
      continue;
    }
    const char *start = p;
    std::string word;
    while (*p != '\0' && !g_ascii_isspace(*p) && *p != '!') {
      if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"') {
          if (*p == '\\' && (p[1] == '"' || p[1] == '\\')) ++p;
          word += *p++;
        }
        if (*p != '"') {
          g_set_error(error, KOV_ERROR, KOV_ERROR_PARSE,
                      "unterminated quote in chain description: %s", start);
          return false;
        }
        ++p;
      } else {
        word += *p++;
      }
    }
    tokens.push_back({Token::Word, word, std::string(start, p)});
  }
  return true;
}

struct UnitText {
  std::string id;
  std::vector<Token> settings;
};

bool split_units(const std::vector<Token> &tokens, std::vector<UnitText> &units, GError **error) {
  if (tokens.empty()) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_PARSE, "empty chain description");
    return false;
  }
  bool expect_unit = true;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token &t = tokens[i];
    if (t.kind == Token::Bang) {
      if (expect_unit) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_PARSE,
                    units.empty() ? "\"!\" without a unit before it"
                                  : "\"!\" without a unit after \"%s\"",
                    units.empty() ? "" : units.back().id.c_str());
        return false;
      }
      expect_unit = true;
      continue;
    }
    if (expect_unit) {
      if (t.text.find('=') != std::string::npos) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_PARSE,
                    "expected a unit identifier, found the setting \"%s\"", t.raw.c_str());
        return false;
      }
      units.push_back({t.text, {}});
      expect_unit = false;
    } else {
      units.back().settings.push_back(t);
    }
  }
  if (expect_unit) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_PARSE, "\"!\" at the end without a unit after \"%s\"",
                units.back().id.c_str());
    return false;
  }
  return true;
}

std::string offered_formats(KovUnit *unit) {
  std::string list;
  GList *formats = kov_unit_get_output_formats(unit);
  for (GList *l = formats; l != nullptr; l = l->next) {
    gchar code[11];
    if (!list.empty()) list += ", ";
    list += kov_pixel_format_to_string(KOV_UNIT_FORMAT(l->data)->pixelformat, code);
  }
  g_list_free(formats);
  return list.empty() ? "none" : list;
}

bool apply_format(KovUnit *unit, const std::string &id, const std::string &value,
                  GError **error) {
  const guint32 code = kov_pixel_format_from_string(value.c_str());
  if (code == 0) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                "%s: \"%s\" is not a four-character format code", id.c_str(), value.c_str());
    return false;
  }
  GList *formats = kov_unit_get_output_formats(unit);
  KovUnitFormat *match = nullptr;
  for (GList *l = formats; l != nullptr && match == nullptr; l = l->next)
    if (KOV_UNIT_FORMAT(l->data)->pixelformat == code) match = KOV_UNIT_FORMAT(l->data);
  g_list_free(formats);
  if (match == nullptr) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_FORMAT,
                "%s: format %s is not offered (offered: %s)", id.c_str(), value.c_str(),
                offered_formats(unit).c_str());
    return false;
  }
  kov_unit_set_preferred_format(unit, code, 0, 0, 0);
  kov_unit_set_output_format(unit, match);
  return true;
}

}  // namespace

gboolean kov_chain_parse_into(KovUnitChain *chain, const gchar *text, GError **error) {
  if (text == nullptr) text = "";
  std::vector<Token> tokens;
  std::vector<UnitText> units;
  if (!tokenize(text, tokens, error) || !split_units(tokens, units, error)) return FALSE;

  KovUnitManager *manager = kov_unit_manager_get_and_ref();
  bool ok = true;
  for (const UnitText &ut : units) {
    KovUnit *unit = kov_unit_manager_create_unit_by_id(manager, ut.id.c_str());
    if (unit == nullptr) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_UNKNOWN_UNIT, "unknown unit \"%s\"", ut.id.c_str());
      ok = false;
      break;
    }
    g_object_ref_sink(unit);
    // Controls first: they may change what the unit offers.
    std::string format_value;
    bool has_format = false;
    for (const Token &setting : ut.settings) {
      const size_t eq = setting.text.find('=');
      if (eq == std::string::npos || eq == 0) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_PARSE,
                    "%s: \"%s\" is not a setting (key=value)", ut.id.c_str(), setting.raw.c_str());
        ok = false;
        break;
      }
      const std::string key = setting.text.substr(0, eq);
      const std::string value = setting.text.substr(eq + 1);
      if (key == "format") {
        format_value = value;
        has_format = true;
        continue;
      }
      KovUnitControl *control = kov_unit_find_control(unit, key.c_str());
      if (control == nullptr) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_UNKNOWN_CONTROL, "%s: unknown control \"%s\"",
                    ut.id.c_str(), key.c_str());
        ok = false;
        break;
      }
      if (!kov_unit_control_set_from_string(control, value.c_str(), error)) {
        ok = false;
        break;
      }
    }
    if (ok) kov_unit_chain_add_unit(chain, unit);
    if (ok && has_format) ok = apply_format(unit, ut.id, format_value, error);
    g_object_unref(unit);
    if (!ok) break;
  }
  g_object_unref(manager);
  return ok ? TRUE : FALSE;
}
