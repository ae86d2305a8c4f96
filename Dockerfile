# quorvel in an image of its own: the static program and nothing else.
#
#   docker build -t quorvel .                   (or: podman build -t quorvel .)
#   docker run --rm -p 10082:10082 quorvel      (options follow: ... quorvel -l 8080)
#
# Images for arm64 and 386 come from this file too. The build stage runs on
# the build machine's own architecture and cross-compiles for the target:
#
#   docker buildx build --platform linux/arm64 -t quorvel:arm64 .
#   podman build --platform linux/arm64 --build-arg BUILDPLATFORM=linux/amd64 -t quorvel:arm64 .
#
# (podman 4 leaves BUILDPLATFORM unset unless it is given, as above.)

FROM --platform=$BUILDPLATFORM debian:bookworm AS build
ARG TARGETARCH
# The compiler for the target: the machine's own, or Debian's cross g++.
RUN set -eu; \
    native=$(dpkg --print-architecture); \
    target=${TARGETARCH:-$native}; \
    case "$target" in \
      amd64) triplet=x86_64-linux-gnu ;; \
      arm64) triplet=aarch64-linux-gnu ;; \
      386|i386) triplet=i686-linux-gnu ;; \
      *) echo "quorvel: no image for $target" >&2; exit 1 ;; \
    esac; \
    compiler=g++; \
    if [ "$target" != "$native" ] && [ "$target:$native" != 386:i386 ]; then \
      compiler=g++-$(echo "$triplet" | tr _ -); \
    fi; \
    apt-get update; \
    apt-get install -y --no-install-recommends cmake make "$compiler"; \
    rm -rf /var/lib/apt/lists/*; \
    echo "${triplet%%-*}" > /target-arch

WORKDIR /src
COPY . .
# The project's own static build, stripped, as scripts/release builds it
# (CI checks that /quorvel is the same bytes as bin/quorvel in the x86_64
# release archive); its licence and THIRD-PARTY, the notices of the C library
# linked into it; a passwd entry for the user the program runs as.
RUN set -eu; \
    cmake -S . -B /build -DCMAKE_TOOLCHAIN_FILE=cmake/linux-gnu.cmake \
          -DLINUX_ARCH="$(cat /target-arch)" -DCMAKE_BUILD_TYPE=Release -DQUORVEL_TESTS=OFF; \
    cmake --build /build -j"$(nproc)"; \
    cmake --install /build --strip --prefix /stage; \
    mkdir -p /image/etc; \
    cp /stage/bin/quorvel /image/quorvel; \
    cp LICENSE /image/LICENSE; \
    cp /stage/share/doc/quorvel/THIRD-PARTY /image/THIRD-PARTY; \
    echo "quorvel:x:65532:65532:quorvel:/:/quorvel" > /image/etc/passwd; \
    echo "quorvel:x:65532:" > /image/etc/group

FROM scratch
LABEL org.opencontainers.image.title="quorvel" \
      org.opencontainers.image.description="Shows exactly what HTTP clients send: every request echoed byte for byte on standard output, each answered with the same short 200 reply" \
      org.opencontainers.image.version="1.0.0" \
      org.opencontainers.image.licenses="MIT AND LGPL-2.1-or-later AND GPL-3.0-or-later WITH GCC-exception-3.1"
COPY --from=build /image/ /
USER 65532:65532
EXPOSE 10082
ENTRYPOINT ["/quorvel"]
