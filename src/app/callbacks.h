// Callbacks the windowing library calls from inside its event pass.
#pragma once

void on_display();
void on_keyboard(unsigned char key, int x, int y);
