# Writes OUT, a header that fixes the SHA-256 of the file IN, and the
# directory the utility is installed into (DIR).
file(SHA256 "${IN}" hash)
set(text "// Generated at build time: the utility this installer accepts.\n#pragma once\n#define VLM_UTILITY_SHA256 \"${hash}\"\n#define VLM_UTILITY_DIR \"${DIR}\"\n")
file(WRITE "${OUT}.tmp" "${text}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
