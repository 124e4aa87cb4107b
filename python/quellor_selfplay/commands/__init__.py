"""The command floor: quellor-selfplay's command line and its commands.

Each command reads its options into a typed configuration (`quellor_selfplay.config`) and runs
on the library; what lives here is only what a command line needs: option parsing, progress
bars, signals and exit statuses. Nothing in the library imports from this package.
"""
