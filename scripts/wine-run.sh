#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's private prefix, quietly.
set -euo pipefail
# shellcheck source=wine-prefix.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine-prefix.sh"
exec wine "$@"
