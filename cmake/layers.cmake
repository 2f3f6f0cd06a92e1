# Which source folders each folder may include (and link). A folder reaches
# only the folders below it, so each layer builds and tests without the ones
# above it.
set(TRELVAN_LAYERS platform common report caption tables endpoints engine app)
set(TRELVAN_ALLOWED_platform "")
set(TRELVAN_ALLOWED_common platform)
set(TRELVAN_ALLOWED_report common platform)
set(TRELVAN_ALLOWED_caption common platform)
set(TRELVAN_ALLOWED_tables caption common platform)
set(TRELVAN_ALLOWED_endpoints report common platform)
set(TRELVAN_ALLOWED_engine tables caption endpoints report common platform)
set(TRELVAN_ALLOWED_app engine tables caption endpoints report common platform)
