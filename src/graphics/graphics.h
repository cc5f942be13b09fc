// Graphics set-up and the full-screen quad.
#pragma once

// Loads the entry points, reports the context, builds the quad and the first
// shader program; true when the context is usable.
bool initialize_graphics();
void create_full_screen_quad();
void draw_full_screen_quad();
