// VrlnSchdMain
