/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Parser of chain description text.
#ifndef KOVKIT_CHAIN_PARSER_H
#define KOVKIT_CHAIN_PARSER_H

#include <kovkit/kovkit.h>

// Creates the units the text describes and appends them to the (empty)
// chain. On error the chain may hold the units made so far; the caller
// clears it.
gboolean kov_chain_parse_into(KovUnitChain *chain, const gchar *text, GError **error);

#endif
