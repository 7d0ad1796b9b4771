// How much of the main window's fixed-size client a screen can show.
//
// The client is drawn for the window's font at one size and never shrinks;
// where the screen's available area is smaller, the client sits in a view
// with scroll bars, so every control stays reachable. No Qt here.
#pragma once

namespace kv {

struct Extent {
    int width = 0;
    int height = 0;
    bool operator==(const Extent&) const = default;
};

struct ClientView {
    Extent size;  // the view, scroll bars included
    bool horizontalBar = false;
    bool verticalBar = false;
    bool operator==(const ClientView&) const = default;
};

// The view of a client of size `client` in `room` (the screen's available
// area less the window's frame and menu bar): the whole client where it fits,
// else as much as fits, with a scroll bar of `bar` pixels along each side
// that scrolls. Never larger than the client with its bars, nor smaller
// than one scroll bar's width plus a pixel.
ClientView FitClient(Extent client, Extent room, int bar);

}  // namespace kv
