# Shared Wine set-up for the project's scripts. Source it, then call
# sq_wine_env ARCH (win32 or win64) and sq_wine_prefix_ready.

sq_repo_root() { cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd; }

# True when this machine can execute 32-bit x86 code, which 32-bit Wine needs.
# Some virtual machines offer no 32-bit user code segment at all.
sq_can_run_32bit() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

# The Wine architecture the tests and the demo run on here: the shipped
# 32-bit build where the machine can execute it, else its 64-bit twin.
sq_runnable_arch() { if sq_can_run_32bit; then echo win32; else echo win64; fi; }

sq_wine_env() {
  local arch=$1 root
  root=$(sq_repo_root)
  export SQ_WINE_ARCH=$arch
  export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix-$arch}
  export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
  export WINEDEBUG=${WINEDEBUG:--all}
  # No Mono or Gecko installers, no desktop entries in the Linux home.
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
  case $arch in
    win32) export WINEARCH=win32 SQ_WINE=/usr/lib/wine/wine ;;
    win64) export WINEARCH=win64 SQ_WINE=/usr/lib/wine/wine64 WINELOADER=/usr/lib/wine/wine64 ;;
    *) echo "wine-env: unknown architecture '$arch'" >&2; return 2 ;;
  esac
}

# Makes the prefix on first use (serialised, so parallel tests share one).
sq_wine_prefix_ready() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.starquill-ready" ]; then
      rm -rf "$WINEPREFIX"
      "$SQ_WINE" wineboot -i >/dev/null 2>&1 || true
      # Let the proportional Japanese UI font resolve to the IPA face.
      "$SQ_WINE" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'ＭＳ Ｐゴシック' /d IPAPGothic /f >/dev/null 2>&1
      "$SQ_WINE" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'ＭＳ ゴシック' /d IPAGothic /f >/dev/null 2>&1
      /usr/lib/wine/wineserver -w
      touch "$WINEPREFIX/.starquill-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}
