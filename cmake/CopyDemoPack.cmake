# Puts the sample option pack beside the program once. Selections made while trying the
# program out live in the copy and survive later builds; delete the copy to start afresh.
if(NOT EXISTS "${DEST}/Options")
  file(COPY "${SRC}/" DESTINATION "${DEST}" USE_SOURCE_PERMISSIONS)
endif()
