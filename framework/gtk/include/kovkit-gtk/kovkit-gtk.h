/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The kovkit GTK 3 widgets: include this one header. */
#ifndef KOVKIT_GTK_KOVKIT_GTK_H
#define KOVKIT_GTK_KOVKIT_GTK_H

#include <kovkit-gtk/gl_drawing_area.h>
#include <kovkit-gtk/tree_store.h>
#include <kovkit-gtk/chain_gl_widget.h>
#include <kovkit-gtk/chain_widget.h>
#include <kovkit-gtk/control_widget.h>
#include <kovkit-gtk/manager_widget.h>
#include <kovkit-gtk/description_widget.h>

#endif
