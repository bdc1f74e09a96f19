// helpers for the engine tests live beside this file
