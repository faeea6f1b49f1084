// The FAT reader's disk layer as the shell sees it: started once by the
// start-up thread and re-enumerated whenever the drive table changes.
#pragma once

// Starts the layer; the result is not needed by the shell.
void start_disk_layer();
// Re-enumerates the layer's drives after a refresh or a newly opened image.
void rescan_disk_layer();
