#!/usr/bin/env bash
# Makes a pretend Rail Simulator installation to try Quelmar without the game:
# an empty RailSim.exe and an Assets tree with archives one and two folders
# down, plus decoys that must never be listed or deleted. The provider and
# route folders have made-up names.
# Usage: scripts/make-sample-game.sh [FOLDER]   (default: ./sample-game)
set -euo pipefail
game="${1:-sample-game}"
mkdir -p "$game"
: > "$game/RailSim.exe"
a="$game/Assets"
mkdir -p "$a/ProviderA/RouteB/Vehicles" "$a/ProviderA/RouteB/Scenery" "$a/ProviderB/RouteC" \
         "$a/ProviderC/Blueprints.pak" "$a/Empty"
for f in "$a/ProviderA/Blueprints.pak" "$a/ProviderA/RouteB/Blueprints.pak" "$a/ProviderB/RouteC/blueprints.PAK" \
         "$a/ProviderC/Blueprints.pak/keep.txt" "$a/Blueprints.pak" "$a/ProviderA/RouteB/Vehicles/Blueprints.pak" \
         "$a/ProviderA/RouteB/Scenery.pak" "$a/ProviderB/Textures.pak"; do
  printf 'sample\n' > "$f"
done
echo "Sample game made in $(cd "$game" && pwd)"
echo "Archives Quelmar lists: Assets/ProviderA/Blueprints.pak, Assets/ProviderA/RouteB/Blueprints.pak, Assets/ProviderB/RouteC/blueprints.PAK (as spelled on disk)"
