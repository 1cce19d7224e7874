// Scripts and reads back the scripted calculation library.
