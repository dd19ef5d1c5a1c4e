#!/usr/bin/env bash
# Makes a pretend Rail Simulator installation to try Quelmar without the game:
# an empty RailSim.exe and an Assets tree with archives one and two folders
# down, plus decoys that must never be listed or deleted.
# Usage: scripts/make-sample-game.sh [FOLDER]   (default: ./sample-game)
set -euo pipefail
game="${1:-sample-game}"
mkdir -p "$game"
: > "$game/RailSim.exe"
a="$game/Assets"
mkdir -p "$a/Kuju/RailSimulator/RailVehicles" "$a/Kuju/RailSimulator/Scenery" "$a/Oovee/SpanishRoute" \
         "$a/RSC/Blueprints.pak" "$a/Empty"
for f in "$a/Kuju/Blueprints.pak" "$a/Kuju/RailSimulator/Blueprints.pak" "$a/Oovee/SpanishRoute/blueprints.PAK" \
         "$a/RSC/Blueprints.pak/keep.txt" "$a/Blueprints.pak" "$a/Kuju/RailSimulator/RailVehicles/Blueprints.pak" \
         "$a/Kuju/RailSimulator/Scenery.pak" "$a/Oovee/Textures.pak"; do
  printf 'sample\n' > "$f"
done
echo "Sample game made in $(cd "$game" && pwd)"
echo "Archives Quelmar lists: Assets/Kuju/Blueprints.pak, Assets/Kuju/RailSimulator/Blueprints.pak, Assets/Oovee/SpanishRoute/Blueprints.pak"
