// ShellSeam
