"""Shared code of the tools and the end-to-end tests: consoles of the running programs, the
session of both programs over vlink, and reading their traces and captures.
"""
