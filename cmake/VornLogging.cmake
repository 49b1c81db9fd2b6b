# vorn::logging: spdlog and fmt, both header-only, so that nothing built
# with them needs libspdlog or libfmt at run time. (spdlog::spdlog_header_only
# links the shared fmt; only its headers are taken.)
add_library(vorn_logging INTERFACE)
add_library(vorn::logging ALIAS vorn_logging)
target_include_directories(vorn_logging SYSTEM INTERFACE
  $<TARGET_PROPERTY:spdlog::spdlog_header_only,INTERFACE_INCLUDE_DIRECTORIES>)
target_compile_definitions(vorn_logging INTERFACE SPDLOG_FMT_EXTERNAL)
target_link_libraries(vorn_logging INTERFACE fmt::fmt-header-only Threads::Threads)
