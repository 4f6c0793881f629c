#!/usr/bin/env bash
# Checks the layering rule of docs/architecture.md over the layers' sources:
# a file includes only headers of its own layer and of the layers below it (and
# inside engine/, of its own room and the rooms below it), and no file outside
# platform/ asks which operating system it is built for.
# Prints every breach and exits 1 when there is any.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 2

# What each layer may include, itself included.
declare -A allowed=(
  [support]="support"
  [platform]="support platform"
  [engine]="support platform engine"
  [discovery]="support platform engine discovery"
  [bootrepair]="support platform engine bootrepair"
  [rescue]="support platform engine bootrepair rescue"
  [tasks]="support platform engine discovery bootrepair rescue tasks"
  [cli]="support platform engine discovery bootrepair rescue tasks cli"
  [ui]="support platform engine discovery bootrepair rescue tasks ui"
)
layers="support platform engine discovery bootrepair rescue tasks cli ui"
status=0

for layer in $layers; do
  [ -d "$layer" ] || continue
  while IFS=: read -r file line text; do
    [[ $text =~ \"([^/\"]+)/ ]] || continue
    target=${BASH_REMATCH[1]}
    case " $layers " in *" $target "*) ;; *) continue ;; esac
    case " ${allowed[$layer]} " in *" $target "*) ;; *)
      echo "$file:$line: $layer/ must not include $target/ (a higher layer): $text"
      status=1 ;;
    esac
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$layer" \
             --include='*.h' --include='*.cpp')
done

# The engine's rooms, bottom up; check/ and image/ stand side by side. What each
# room may include, itself included. A room missing here is refused until it
# gets its place.
declare -A engine_allowed=(
  [core]="core"
  [ntfs]="core ntfs"
  [disk]="core ntfs disk"
  [check]="core ntfs disk check"
  [image]="core ntfs disk image"
  [destination]="core ntfs disk check image destination"
  [transfer]="core ntfs disk check image destination transfer"
)
if [ -d engine ]; then
  while IFS=: read -r file line text; do
    [[ $file =~ ^engine/([^/]+)/ ]] || continue
    room=${BASH_REMATCH[1]}
    [[ $text =~ \"engine/([^/\"]+)/ ]] || continue
    target=${BASH_REMATCH[1]}
    if [ -z "${engine_allowed[$room]+set}" ]; then
      echo "$file:$line: engine/$room/ has no place in the engine's order (scripts/check-layers.sh)"
      status=1
      continue
    fi
    case " ${engine_allowed[$room]} " in *" $target "*) ;; *)
      echo "$file:$line: engine/$room/ must not include engine/$target/ (a room that is not below it): $text"
      status=1 ;;
    esac
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"engine/' engine \
             --include='*.h' --include='*.cpp')
fi

# Operating-system tests belong in platform/ alone.
for layer in $layers; do
  [ "$layer" = platform ] && continue
  [ -d "$layer" ] || continue
  if grep -rnE '^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif).*(_WIN32|_WIN64|_MSC_VER|__linux__|__unix__|__APPLE__|__FreeBSD__)' \
      "$layer" --include='*.h' --include='*.cpp'; then
    echo "  ^ $layer/: operating-system conditionals belong in platform/"
    status=1
  fi
  if grep -rnE '(CMAKE_SYSTEM_NAME|if\((NOT )?(WIN32|UNIX|APPLE|LINUX)\))' "$layer" \
      --include='CMakeLists.txt' --include='*.cmake'; then
    echo "  ^ $layer/: operating-system conditionals belong in platform/"
    status=1
  fi
done

# The window's toolkit stays in ui/qt/: no other source includes a Qt header and
# no other build file links Qt, so that the layers and the pages build without it.
qt_include='^[[:space:]]*#[[:space:]]*include[[:space:]]*<(Q[A-Za-z]*|Qt[A-Za-z]*/[^>]*)>'
for layer in $layers; do
  [ -d "$layer" ] || continue
  if grep -rnE "$qt_include" "$layer" --include='*.h' --include='*.cpp' | grep -v '^ui/qt/'; then
    echo "  ^ $layer/: Qt belongs in ui/qt/ alone"
    status=1
  fi
  if grep -rnE 'Qt6::|find_package\(Qt' "$layer" --include='CMakeLists.txt' --include='*.cmake' \
      | grep -v '^ui/qt/'; then
    echo "  ^ $layer/: Qt belongs in ui/qt/ alone"
    status=1
  fi
done

[ "$status" -eq 0 ] && echo "layers: every include points down, between layers and between the engine's rooms; no system conditionals outside platform/; Qt only in ui/qt/"
exit $status
