// The game's menu GUI: a real window, the immediate-mode GUI context fed the OS cursor once per
// fixed step, an item dragged with the mouse, a tooltip that follows it and panels that don't, and
// the GUI cursor drawn every frame. The OS cursor itself moves along a scripted path between frames.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

// Only with --input gui; the window is created on the game thread.
void CreateGui();
bool GuiActive();
// How many objects the GUI puts in the draw log.
// Between frames: the hand moves the OS cursor, focus and relative mode change on the path's way.
void MoveOsCursor();
// The host's GUI step at fixed step k: the mouse fed once, the GUI built.
void StepGui(uint64_t k);
// After the listener viewport is drawn: the GUI cursor and the draw-log rows.
void DrawGui();

// The host's own GUI functions behind their sites.
void GuiImageDraw(void* context, void* item, const float* position);

}  // namespace qv
