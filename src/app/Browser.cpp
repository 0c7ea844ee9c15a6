// Browser
