# Sourced by the scripts that make artefacts: SOURCE_DATE_EPOCH, unless
# given, is the time of the checkout's commit, so that the compilers'
# __DATE__, the wheels' and the source package's file times are the same in
# every build of one commit.  A tree without git history keeps the tools'
# own defaults.
source_date_epoch() {
  local when
  if [ -z "${SOURCE_DATE_EPOCH:-}" ] && when=$(git log -1 --format=%ct 2>/dev/null) && [ -n "$when" ]; then
    export SOURCE_DATE_EPOCH=$when
  fi
}
