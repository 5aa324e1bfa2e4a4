# The fuzz targets and the libraries each one links. Included by fuzz/CMakeLists.txt
# (libFuzzer executables, clang) and fuzz/replay/CMakeLists.txt (corpus replay, any
# compiler), so both build the same target code against the same code under test.
set(TIDEWARDEN_FUZZ_TARGETS
    frame_reader
    service_requests
    property_list
    runtime_stamp
    signature_block
    team_certificate
    world_file
    json_document
    lsof_field_records
    process_commands
    attached_image_list
    fan_recovery_record
    smc_replies
    applesmc_files
    preparation_manifest
    launchd_item
    diskutil_inventory
    quarantine_manifest
    process_listing
    payload_metadata
    payload_attachment
    image_description
    hybrid_package
    installer_identity
    virtual_disk_info
    installer_attachments
    media_progress
    rescue_start_request
    installer_deletion_record
    tool_group_record)

set(tidewarden_fuzz_libs_frame_reader tidewarden_wire)
set(tidewarden_fuzz_libs_service_requests tidewarden_helper tidewarden_test_platform)
set(tidewarden_fuzz_libs_property_list tidewarden_platform)
set(tidewarden_fuzz_libs_runtime_stamp tidewarden_helper)
set(tidewarden_fuzz_libs_signature_block tidewarden_platform tidewarden_test_platform)
set(tidewarden_fuzz_libs_team_certificate tidewarden_platform)
set(tidewarden_fuzz_libs_world_file tidewarden_sim tidewarden_test_platform)
set(tidewarden_fuzz_libs_json_document tidewarden_fan tidewarden_rescue tidewarden_platform)
set(tidewarden_fuzz_libs_lsof_field_records tidewarden_storage)
set(tidewarden_fuzz_libs_process_commands tidewarden_storage)
set(tidewarden_fuzz_libs_attached_image_list tidewarden_storage)
set(tidewarden_fuzz_libs_fan_recovery_record tidewarden_fan tidewarden_test_platform)
set(tidewarden_fuzz_libs_smc_replies tidewarden_fan tidewarden_test_platform)
set(tidewarden_fuzz_libs_applesmc_files tidewarden_platform_linux tidewarden_fan tidewarden_test_platform)
set(tidewarden_fuzz_libs_preparation_manifest tidewarden_storage)
set(tidewarden_fuzz_libs_launchd_item tidewarden_quarantine tidewarden_test_platform)
set(tidewarden_fuzz_libs_diskutil_inventory tidewarden_rescue)
set(tidewarden_fuzz_libs_quarantine_manifest tidewarden_quarantine)
set(tidewarden_fuzz_libs_process_listing tidewarden_quarantine)
set(tidewarden_fuzz_libs_payload_metadata tidewarden_materialize)
set(tidewarden_fuzz_libs_payload_attachment tidewarden_materialize)
set(tidewarden_fuzz_libs_image_description tidewarden_materialize)
set(tidewarden_fuzz_libs_hybrid_package tidewarden_materialize)
set(tidewarden_fuzz_libs_installer_identity tidewarden_installers)
set(tidewarden_fuzz_libs_virtual_disk_info tidewarden_installers)
set(tidewarden_fuzz_libs_installer_attachments tidewarden_installers)
set(tidewarden_fuzz_libs_media_progress tidewarden_rescue)
set(tidewarden_fuzz_libs_rescue_start_request tidewarden_rescue)
set(tidewarden_fuzz_libs_installer_deletion_record tidewarden_installers)
set(tidewarden_fuzz_libs_tool_group_record tidewarden_platform)

# Adds executable `executable` running the target `name` (fuzz/<name>.cpp).
function(tidewarden_fuzz_executable executable name)
  add_executable(${executable} ${PROJECT_SOURCE_DIR}/fuzz/${name}.cpp ${ARGN})
  target_include_directories(${executable} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}
                             ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${executable} PRIVATE ${tidewarden_fuzz_libs_${name}})
endfunction()
