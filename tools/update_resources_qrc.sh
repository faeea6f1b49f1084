#!/usr/bin/env bash
# Rewrites resources/resources.qrc to list every file under resources/images,
# so a picture dropped into one of its folders is compiled in as
# ":/images/<folder>/<name>". Run from anywhere; commit the result.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../resources"
{
    echo '<RCC>'
    echo '  <qresource prefix="/">'
    find images -type f | LC_ALL=C sort | sed 's|.*|    <file>&</file>|'
    echo '  </qresource>'
    echo '</RCC>'
} > resources.qrc.new
mv resources.qrc.new resources.qrc
echo "resources.qrc: $(grep -c '<file>' resources.qrc) files"
