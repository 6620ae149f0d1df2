# Finds the system libraries every subsystem builds on and gives each one target name.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenMP REQUIRED COMPONENTS CXX)
find_package(OpenSSL REQUIRED COMPONENTS SSL Crypto)
find_package(PostgreSQL REQUIRED)
find_package(CURL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(FlatBuffers CONFIG REQUIRED)  # builder and verifier are header-only
find_program(FLATC flatc REQUIRED)

# Armadillo over OpenBLAS: link the BLAS directly so products never go through a
# reference implementation, and keep Armadillo's size checks (their texts are behaviour).
find_package(Armadillo REQUIRED)
find_package(BLAS REQUIRED)
add_library(ombrix_armadillo INTERFACE)
target_include_directories(ombrix_armadillo SYSTEM INTERFACE ${ARMADILLO_INCLUDE_DIRS})
target_link_libraries(ombrix_armadillo INTERFACE ${ARMADILLO_LIBRARIES} ${BLAS_LIBRARIES})

pkg_check_modules(HIREDIS REQUIRED IMPORTED_TARGET hiredis)
pkg_check_modules(HIREDIS_SSL REQUIRED IMPORTED_TARGET hiredis_ssl)
# Debian 12 ships TLS only in the hiredict shims, whose hiredis_ssl.h needs the
# hiredict header first; newer distributions have plain hiredis with TLS.
find_path(OMBRIX_HIREDICT_INCLUDE_DIR hiredict/hiredict_ssl.h)
add_library(ombrix_hiredis INTERFACE)
target_link_libraries(ombrix_hiredis INTERFACE PkgConfig::HIREDIS_SSL PkgConfig::HIREDIS OpenSSL::SSL)
if(OMBRIX_HIREDICT_INCLUDE_DIR)
  target_compile_definitions(ombrix_hiredis INTERFACE OMBRIX_HAVE_HIREDICT_SSL=1)
endif()

# RE2 for the filter language's $regex: linear-time matching without deep recursion, so a
# pattern sent by a caller can neither hang nor overflow the stack of a query.
pkg_check_modules(RE2 REQUIRED IMPORTED_TARGET re2)
