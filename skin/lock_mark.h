// The padlock over a disk's icon in the drive and volume lists: this user may
// not read it yet, and choosing it asks for their password.
#pragma once

class QPainter;

// Draws a padlock about 10 x 12 pixels with its top left at (x, y).
void paint_lock_mark(QPainter* painter, int x, int y);
