// Which reader each configured image goes to: the plug-in marks the readers an image fits, the
// host chooses among them and binds the image's row of the download table, one row per reader.
#pragma once
#include <cstdint>

#include "app.h"

namespace zelfin {

// What the matching of one run has found so far.
struct MatchState {
    HostStatus status;
    bool failed = false;           // the run counts as failed (101, 625, 626, lists not made)
    bool noImageAccepted = true;   // no plug-in accepted any image
    bool noDeviceMatched = true;   // no image was bound to a reader
};

// Chooses among the entries of `slot`'s list that the plug-in marked `selected`; returns how many
// remain chosen and leaves `currentDevice` at the last of them. In a configured run readers in
// their normal mode win over readers waiting in upgrade mode: when any chosen reader is in normal
// mode, every upgrade-mode reader is dropped; several readers that are all in upgrade mode cannot
// be told apart and give host code 101 and 0.
int32_t chooseDevices(PluginSlot& slot, HostStatus& status);

// The matching pass over the whole download table, as the configured run does it before any
// download: every row bound to a reader (rows for several readers expanded) or left without one.
void matchDownloads(MatchState& state);

// Binds row `row` of the table to `currentDevice` of `currentPluginIndex`.
void bindRow(int row);

// Adds rows after `row` for the further readers the image fits: each new row takes the first
// selected reader, in list order, that no row of this image has yet; it stops when there is none
// or the table is full. Returns the number of rows added.
int expandRow(int row, int wanted);

}  // namespace zelfin
