// window_palette.h - the chat window's two looks, light and dark, as the system's colour setting
// (Settings > Personalisation > Colours) chooses: the conversation area, the input box, the status
// bar, and the 12 colours of names, each readable on its background (WCAG's 4.5:1 contrast at
// least; the tests check every one). High contrast uses the system's colours instead.
#pragma once

struct palette_colour {
    unsigned char r, g, b;
};

struct palette {
    palette_colour background, text, dim, link;  // the list: dim for times, notes and the history
    palette_colour input_background, input_text;
    palette_colour bar_background, bar_text;  // the status bar, and the window around the controls
    palette_colour names[12];
};

// Black on white; the names as the terminal client's, darkened where they were too light for white.
inline constexpr palette LIGHT_PALETTE = {
    {255, 255, 255}, {0, 0, 0}, {110, 110, 110}, {0, 102, 204},
    {255, 255, 255}, {0, 0, 0},
    {240, 240, 240}, {0, 0, 0},
    {{197, 15, 31}, {16, 124, 16}, {138, 100, 0}, {0, 55, 218}, {136, 23, 152}, {0, 118, 138},
     {200, 40, 70}, {40, 128, 0}, {150, 110, 0}, {40, 90, 220}, {180, 0, 158}, {0, 120, 150}},
};

// Light grey on near black, as Windows' own dark apps; the names the same hues, lighter.
inline constexpr palette DARK_PALETTE = {
    {32, 32, 32}, {230, 230, 230}, {160, 160, 160}, {110, 180, 255},
    {43, 43, 43}, {230, 230, 230},
    {28, 28, 28}, {220, 220, 220},
    {{255, 99, 99}, {80, 200, 80}, {220, 180, 60}, {110, 150, 255}, {210, 120, 230}, {40, 190, 200},
     {255, 140, 160}, {140, 220, 100}, {240, 210, 80}, {130, 180, 255}, {240, 110, 210}, {90, 210, 240}},
};
