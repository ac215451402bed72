# SPDX-License-Identifier: MIT
# Read by cpack before it builds a package (CPACK_PROJECT_CONFIG_FILE): the
# package's timestamps come from SOURCE_DATE_EPOCH; when the caller gives
# none, from the commit of the source tree, else from the change log.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} OR "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  execute_process(COMMAND git -C "${CPACK_KELMO_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE kelmo_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE kelmo_status)
  if(kelmo_status OR NOT kelmo_epoch MATCHES "^[0-9]+$")
    set(kelmo_epoch "${CPACK_KELMO_CHANGELOG_EPOCH}")
  endif()
  if(kelmo_epoch MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} "${kelmo_epoch}")
  else()
    message(WARNING "no commit time or change log date: the package's timestamps are today's")
  endif()
endif()
