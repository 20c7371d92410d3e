"""Entry point of the `zetadesk-server` console script."""

import zetadesk_server


def main():
    zetadesk_server.main()


if __name__ == "__main__":
    main()
