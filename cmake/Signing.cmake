# Development signing: placeholder until the code-signing tool lands.
add_library(tidewarden_dev_anchor INTERFACE)
function(tidewarden_sign target identifier)
endfunction()
