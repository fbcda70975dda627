# Read by cpack for each generator: what each package holds, all of it in
# one package.
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
if(CPACK_GENERATOR STREQUAL "DEB")
  # Debian documents a package with its copyright file and changelog, and
  # wants no other licence file beside them.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL tool debian)
else()
  # Everything that a plain install installs, in one tree: a tree installed
  # by components would list each shared folder once per component.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
endif()
# The packages' times: the caller's SOURCE_DATE_EPOCH, or the last commit's
# (from configuring), so that two packages of one commit are the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_ROMSEED_EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_ROMSEED_EPOCH})
endif()
