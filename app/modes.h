// modes.h -- the two command modes of the mouse
#pragma once

// A left drag turns the view about its target.
constexpr int kRotateMode = 10;
// A button release starts a discharge under the pointer.
constexpr int kGenerateMode = 403;
